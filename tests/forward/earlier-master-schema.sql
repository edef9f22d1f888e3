-- The master schema of the version before partitions, as masters made by it still are: the tests convert it.
-- tevriklogforward runs this when it connects; an operator may run it beforehand with psql.
-- Each local database is a source (a UUID kept in that database); a row's key is (source, rowid),
-- rowid being the row's rowID in its local table. time is the event's time in milliseconds since
-- the Unix epoch as stored locally; at is the same instant for queries, NULL when it lies outside
-- the range of timestamptz.
BEGIN;
-- Forwarders that start together create the tables one after the other.
SELECT pg_advisory_xact_lock(7735420911);

CREATE TABLE IF NOT EXISTS sources (
    source        uuid PRIMARY KEY,
    hostname      text NOT NULL,
    first_contact timestamptz NOT NULL DEFAULT now(),
    last_contact  timestamptz NOT NULL DEFAULT now()
);

CREATE TABLE IF NOT EXISTS configuration (
    source uuid NOT NULL, hostname text NOT NULL, rowid bigint NOT NULL, time bigint NOT NULL, at timestamptz,
    hardwareconf text NOT NULL, linuxver text NOT NULL, rpmsinstalled text NOT NULL,
    tevrikversion text NOT NULL, diskspace text NOT NULL,
    PRIMARY KEY (source, rowid)
);
CREATE TABLE IF NOT EXISTS coredumps (
    source uuid NOT NULL, hostname text NOT NULL, rowid bigint NOT NULL, time bigint NOT NULL, at timestamptz,
    taskname text NOT NULL,
    PRIMARY KEY (source, rowid)
);
CREATE TABLE IF NOT EXISTS reboots (
    source uuid NOT NULL, hostname text NOT NULL, rowid bigint NOT NULL, time bigint NOT NULL, at timestamptz,
    issuer text NOT NULL,
    PRIMARY KEY (source, rowid)
);
CREATE TABLE IF NOT EXISTS watchdog (
    source uuid NOT NULL, hostname text NOT NULL, rowid bigint NOT NULL, time bigint NOT NULL, at timestamptz,
    triggeredby text NOT NULL,
    PRIMARY KEY (source, rowid)
);
CREATE TABLE IF NOT EXISTS joinlayer (
    source uuid NOT NULL, hostname text NOT NULL, rowid bigint NOT NULL, time bigint NOT NULL, at timestamptz,
    taskname text NOT NULL,
    PRIMARY KEY (source, rowid)
);
CREATE TABLE IF NOT EXISTS specfile (
    source uuid NOT NULL, hostname text NOT NULL, rowid bigint NOT NULL, time bigint NOT NULL, at timestamptz,
    taskname text NOT NULL, specfile text NOT NULL,
    PRIMARY KEY (source, rowid)
);
CREATE TABLE IF NOT EXISTS systemload (
    source uuid NOT NULL, hostname text NOT NULL, rowid bigint NOT NULL, time bigint NOT NULL, at timestamptz,
    sysload text NOT NULL,
    PRIMARY KEY (source, rowid)
);
-- recordnumber holds the local value: an unsigned record number above 2^63 reads as negative,
-- as in the local database; (recordnumber::numeric + 18446744073709551616) % 18446744073709551616 restores it.
CREATE TABLE IF NOT EXISTS generic (
    source uuid NOT NULL, hostname text NOT NULL, rowid bigint NOT NULL, time bigint NOT NULL, at timestamptz,
    recordnumber bigint NOT NULL, key text NOT NULL, value text NOT NULL,
    PRIMARY KEY (source, rowid)
);

-- Queries across hosts select by time.
CREATE INDEX IF NOT EXISTS configuration_at ON configuration (at);
CREATE INDEX IF NOT EXISTS coredumps_at ON coredumps (at);
CREATE INDEX IF NOT EXISTS reboots_at ON reboots (at);
CREATE INDEX IF NOT EXISTS watchdog_at ON watchdog (at);
CREATE INDEX IF NOT EXISTS joinlayer_at ON joinlayer (at);
CREATE INDEX IF NOT EXISTS specfile_at ON specfile (at);
CREATE INDEX IF NOT EXISTS systemload_at ON systemload (at);
CREATE INDEX IF NOT EXISTS generic_at ON generic (at);
COMMIT;
