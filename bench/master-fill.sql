-- A master of :rows rows over :sources sources and :days days up to now, made with SQL rather than by
-- forwarding: run after master-schema.sql (psql -v rows=... -v sources=... -v days=...). A tenth of the rows
-- are reboots, a tenth core dumps, four tenths system loads and four tenths generic rows; the times are
-- spread evenly and the sources take turns, each with its own rowIDs.
\set ON_ERROR_STOP on
SELECT (extract(epoch FROM now()) * 1000)::bigint AS now_ms \gset
SELECT :now_ms - :now_ms % 86400000 - (:days - 1)::bigint * 86400000 AS first_day \gset
SELECT set_config('bench.rows', :'rows', false), set_config('bench.sources', :'sources', false),
       set_config('bench.now_ms', :'now_ms', false), set_config('bench.first_day', :'first_day', false);
DO $$
DECLARE
    t text;
    d bigint;
BEGIN
    FOREACH t IN ARRAY ARRAY['configuration', 'coredumps', 'reboots', 'watchdog', 'joinlayer', 'specfile',
                             'systemload', 'generic'] LOOP
        FOR d IN SELECT generate_series(current_setting('bench.first_day')::bigint,
                                        current_setting('bench.now_ms')::bigint + 3 * 86400000, 86400000) LOOP
            EXECUTE format('CREATE TABLE IF NOT EXISTS %I PARTITION OF %I FOR VALUES FROM (%s) TO (%s)',
                           t || '_p' || to_char(to_timestamp(d / 1000) AT TIME ZONE 'UTC', 'YYYYMMDD'), t, d,
                           d + 86400000);
        END LOOP;
    END LOOP;
END $$;
INSERT INTO sources (source, hostname)
SELECT md5('source' || s)::uuid, 'host' || lpad(s::text, 4, '0') FROM generate_series(1, :sources) AS s;
-- Row i of a table: source i % sources, its rowID i / sources + 1, a time in the span by i. Inserted through the
-- table, so that its hourly summary counts them, five million rows a statement.
CREATE FUNCTION pg_temp.fill(tbl text, share int, cols text, vals text) RETURNS void LANGUAGE plpgsql AS $f$
DECLARE
    n bigint := current_setting('bench.rows')::bigint * share / 10;
    span bigint := current_setting('bench.now_ms')::bigint - current_setting('bench.first_day')::bigint;
    srcs int := current_setting('bench.sources')::int;
    chunk bigint := 5000000;
    first bigint := 0;
BEGIN
    WHILE first < n LOOP
        EXECUTE format('INSERT INTO %I (source, hostname, rowid, time, at%s) '
                       'SELECT md5(''source'' || (i %% %s + 1))::uuid, ''host'' || lpad((i %% %s + 1)::text, 4, ''0''), '
                       'i / %s + 1, %s + i * %s / %s, to_timestamp((%s + i * %s / %s) / 1000.0)%s '
                       'FROM generate_series(%s::bigint, %s - 1) AS i',
                       tbl, cols, srcs, srcs, srcs, current_setting('bench.first_day'), span, n,
                       current_setting('bench.first_day'), span, n, vals, first, least(n, first + chunk));
        first := first + chunk;
    END LOOP;
END $f$;
SELECT pg_temp.fill('reboots', 1, ', issuer', ', (ARRAY[''admin'', ''watchdog'', ''update'', ''operator''])[i % 4 + 1]');
SELECT pg_temp.fill('coredumps', 1, ', taskname', ', ''task'' || (i % 97)');
SELECT pg_temp.fill('systemload', 4, ', sysload', ', ''load '' || (i % 1000) / 100.0');
SELECT pg_temp.fill('generic', 4, ', recordnumber, key, value', ', i, ''key'' || (i % 13), ''value '' || md5(i::text)');
VACUUM ANALYZE;
