#!/usr/bin/env bash
# Measures the partitioned master against a PostgreSQL 15 server of its own (initdb into a temporary
# directory, Unix socket only) and prints one table, each figure the best of three:
#   1. tevriklog --master on a master of ROWS rows over SOURCES sources and DAYS days, made with SQL
#      (bench/master-fill.sql): -n 100, -H HOST -n 100, -t reboot over one minute, -S -1h -g WORD -n 100,
#      and the summaries -F hostname, --histogram 1h -S -7d and --stats, from the hourly summaries and, by a
#      role that may not read those, row by row; the summaries' size;
#   2. follow: from the commit of a new row on the master to its line from tevriklog --master -f;
#   3. forwarding: FORWARDERS forwarders started together, each with a backlog of BACKLOG rows, into the
#      same master: every row there once, and the rows per second in total;
#   4. retention: the oldest day's partitions of every table detached and dropped in one transaction,
#      as the forwarder does, while the forwarders of 3 write;
#   5. the check at a forwarder's connect to an intact master, whether it lacks rows of the source: the
#      server's identity and the highest rowID of one source per table, each statement's time from the
#      server's log (log_min_duration_statement=0 for the forwarder's session alone).
#
#   ROWS=100000000 bash bench/master-bench.sh    # the goals' size: about an hour to make on 2 cores
#   ROWS=10000000 FORWARDERS=50 BACKLOG=20000 bash bench/master-bench.sh
#   SUMMARIES=off ...                             # 3. with the summaries' triggers disabled, to compare
#
# Needs the PostgreSQL 15 server and client (postgresql), sqlite3; runs the server as nobody when started as
# root. BUILD_DIR (default build-bench) receives a Release build.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=${BUILD_DIR:-build-bench}
rows=${ROWS:-100000000}
sources=${SOURCES:-200}
days=${DAYS:-30}
forwarders=${FORWARDERS:-50}
backlog=${BACKLOG:-100000}
summaries=${SUMMARIES:-on}

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTEVRIK_BUILD_BENCH=ON -DTEVRIK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target eventmodelgen tevriksystemlog tevriklogforward tevriklog tevrikloadgen masterschema \
  >/dev/null
daemon=$build/daemon/tevriksystemlog
forwarder=$build/forward/tevriklogforward
reader=$build/logread/tevriklog
loadgen=$build/bench/tevrikloadgen

source bench/pgserver.sh
start_pg_server "shared_buffers = 512MB" "max_wal_size = 8GB" "max_connections = 200"
psql_master() { psql -X -q -v ON_ERROR_STOP=1 -h "$work/pg" -U postgres -d master "$@"; }
psql -X -q -h "$work/pg" -U postgres -c "CREATE DATABASE master" -c "CREATE DATABASE fleet"
conninfo="host=$work/pg dbname=master user=postgres"
now_ms() { date +%s%3N; }

echo "making a master of $rows rows over $sources sources and $days days..." >&2
start=$(now_ms)
psql_master -f "$build/forward/master-schema.sql" >/dev/null
psql_master -v rows="$rows" -v sources="$sources" -v days="$days" -f bench/master-fill.sql >/dev/null
fill_s=$((($(now_ms) - start) / 1000))
mapfile -t tables < <("$build/eventmodel/eventmodelgen" tables /dev/stdout)
summary_rows=0
for t in "${tables[@]}"; do
  summary_rows=$((summary_rows + $(psql_master -At -c "SELECT count(*) FROM ${t}_hourly")))
done
summary_size=$(psql_master -At -c "SELECT pg_size_pretty(sum(pg_total_relation_size(oid))) FROM pg_class
  WHERE relname LIKE '%\_hourly'")
# A reader that may read the rows but not the summaries counts the rows.
psql_master -c "CREATE ROLE bench_rows LOGIN" -c "GRANT SELECT ON sources, $(IFS=,; echo "${tables[*]}") TO bench_rows"

# best CMD...: the shortest of three runs of the reader in ms (as the role in $as), its output checked for at
# least one line.
as=postgres
best() {
  local run t0 t best=
  for run in 1 2 3; do
    t0=$(now_ms)
    "$reader" --master "$conninfo user=$as" "$@" >"$work/out" 2>"$work/err"
    t=$(($(now_ms) - t0))
    [[ -s $work/out && ! -s $work/err ]] || { echo "no output from tevriklog $*: $(cat "$work/err")" >&2; exit 1; }
    [[ -z $best || $t -lt $best ]] && best=$t
  done
  echo "$best"
}
now=$(now_ms)
window=$((now - 3 * 3600 * 1000))
newest=$(best -n 100)
pick=host$(printf %04d $((sources / 2)))
host=$(best -H "$pick" -n 100)
reboots=$(best -t reboot -S "$window" -U "$((window + 60000))")
grep_ms=$(best -S -1h -g admin -n 100)
# The summaries, each one aggregate statement per table in the server.
field_ms=$(best -F hostname)
histogram_ms=$(best --histogram 1h -S -7d)
stats_ms=$(best --stats)
as=bench_rows
field_rows_ms=$(best -F hostname)
histogram_rows_ms=$(best --histogram 1h -S -7d)
stats_rows_ms=$(best --stats)
as=postgres

# 2. Follow: the row's commit, then its line.
follow_best=
for run in 1 2 3; do
  : >"$work/follow.out"
  "$reader" --master "$conninfo" -f -n 1 -t reboot >"$work/follow.out" 2>"$work/follow.err" &
  follower=$!
  pids+=("$follower")
  deadline=$((SECONDS + 60))
  until [[ -s $work/follow.out ]]; do ((SECONDS < deadline)) || exit 1; sleep 0.05; done
  psql_master -c "INSERT INTO reboots (source, hostname, rowid, time, at, issuer) VALUES (md5('source1')::uuid, 'host0001', 1000000000 + $run, $(now_ms), now(), 'followed$run')"
  committed=$(now_ms)
  until grep -q "followed$run" "$work/follow.out"; do ((SECONDS < deadline)) || exit 1; sleep 0.01; done
  t=$(($(now_ms) - committed))
  kill -TERM "$follower"
  wait "$follower" || true
  [[ -z $follow_best || $t -lt $follow_best ]] && follow_best=$t
done

# 3. Forwarding: a local database made by the daemon, filled with SQL and copied for each forwarder.
echo "making $forwarders local databases of $backlog rows..." >&2
mkdir "$work/local"
cat >"$work/local/daemon.conf" <<CONF
[General Settings]
address=127.0.0.1
port=$("$loadgen" --free-port)
dbpath=$work/local/template.db
CONF
"$daemon" -c "$work/local/daemon.conf" 2>/dev/null &
daemon_pid=$!
pids+=("$daemon_pid")
wait_for_tables "$work/local/template.db"
kill -TERM "$daemon_pid"
wait "$daemon_pid" || true
sqlite3 "$work/local/template.db" "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $backlog)
  INSERT INTO systemload (time, sysload) SELECT $now - ($backlog - i) * 10, 'load ' || (i % 100) FROM n"
for i in $(seq 1 "$forwarders"); do
  cp "$work/local/template.db" "$work/local/$i.db"
  printf "[General Settings]\ndbpath=%s\n\n[Master Database]\nconninfo=host=%s dbname=fleet user=postgres\nhost=fleet%s\nmaxdelay=200\n" \
    "$work/local/$i.db" "$work/pg" "$i" >"$work/local/$i.conf"
done
# The fleet's master made beforehand, so that its triggers can be disabled before the first row.
psql -X -q -v ON_ERROR_STOP=1 -h "$work/pg" -U postgres -d fleet -f "$build/forward/master-schema.sql" >/dev/null
if [[ $summaries == off ]]; then
  for t in "${tables[@]}"; do psql -X -q -h "$work/pg" -U postgres -d fleet -c "ALTER TABLE $t DISABLE TRIGGER USER"; done
fi
fleet_count() { psql -X -At -h "$work/pg" -U postgres -d fleet -c "SELECT count(*) FROM systemload" 2>/dev/null || echo 0; }
fleet_backends() {
  psql -X -At -h "$work/pg" -U postgres -c "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'tevriklogforward'"
}
server_before=$(cpu_ms $(server_pids))
start=$(now_ms)
fleet=()
for i in $(seq 1 "$forwarders"); do
  "$forwarder" -c "$work/local/$i.conf" 2>"$work/local/$i.err" &
  fleet+=($!)
  pids+=($!)
done
total=$((forwarders * backlog))
deadline=$((SECONDS + 1200))
until [[ $(fleet_count) -ge $total ]]; do ((SECONDS < deadline)) || break; sleep 0.2; done
forward_ms=$(($(now_ms) - start))
delivered=$(fleet_count)
distinct=$(psql -X -At -h "$work/pg" -U postgres -d fleet -c "SELECT count(DISTINCT (source, rowid)) FROM systemload")
for pid in "${fleet[@]}"; do kill -TERM "$pid"; wait "$pid" || true; done
# The server's time over the forwarding, once the forwarders' backends have ended.
deadline=$((SECONDS + 60))
until [[ $(fleet_backends) == 0 ]]; do ((SECONDS < deadline)) || break; sleep 0.1; done
server_ms=$(($(cpu_ms $(server_pids)) - server_before))
cannot=$(cat "$work"/local/*.err | grep -c "Cannot" || true)

# 5. The check at a connect: a forwarder of source1 connects three times to the master of 1. Its local database
# has the identity of source1 (adopted, as one made by an earlier forwarder) and no row the master could lack,
# so that the local side asks nothing; the master's side is the same whatever the local rows.
cp "$work/local/template.db" "$work/local/check.db"
sqlite3 "$work/local/check.db" "DELETE FROM systemload; CREATE TABLE forwarder_source (id INTEGER PRIMARY KEY CHECK (id = 1), source TEXT NOT NULL,
  created INTEGER NOT NULL, machine TEXT, file TEXT);
  INSERT INTO forwarder_source VALUES (1, '$(psql_master -At -c "SELECT md5('source1')::uuid")', 0, NULL, NULL)"
printf "[General Settings]\ndbpath=%s\n\n[Master Database]\nconninfo=host=%s dbname=master user=postgres\nhost=host0001\n" \
  "$work/local/check.db" "$work/pg" >"$work/local/check.conf"
# durations TEXT: the milliseconds of the check's session in the server's log since line log_start, of the
# statements holding TEXT: each one's parse, bind (where it is planned) and execution.
durations() {
  tail -n +"$((log_start + 1))" "$work/pg/log" | grep "duration: .*$1" | sed 's/.*duration: \([0-9.]*\) ms.*/\1/' |
    awk '{ s += $1 } END { printf "%.1f", s }'
}
check_best= connect_best=
for run in 1 2 3; do
  : >"$work/check.err"
  log_start=$(wc -l <"$work/pg/log")
  PGOPTIONS="-c log_min_duration_statement=0" "$forwarder" -c "$work/local/check.conf" -d -d -d 2>"$work/check.err" &
  checker=$!
  pids+=("$checker")
  deadline=$((SECONDS + 120))
  until grep -q "Forwarding to the master" "$work/check.err"; do ((SECONDS < deadline)) || exit 1; sleep 0.05; done
  kill -TERM "$checker"
  wait "$checker" || true
  grep -q "holds fewer rows" "$work/check.err" && { echo "the check found rows lacking on an intact master" >&2; exit 1; }
  check=$(awk -v a="$(durations "system_identifier")" -v b="$(durations "max(rowid)")" 'BEGIN { printf "%.1f", a + b }')
  connect=$(durations "")
  awk -v c="$check" -v b="${check_best:-1e9}" 'BEGIN { exit !(c < b) }' && check_best=$check
  awk -v c="$connect" -v b="${connect_best:-1e9}" 'BEGIN { exit !(c < b) }' && connect_best=$connect
done
check_partitions=$(psql_master -At -c "SELECT count(*) FROM pg_inherits JOIN pg_class ON oid = inhrelid WHERE relkind = 'r'")

# 4. Retention: the oldest day of the master, while three forwarders write new rows into it.
oldest=$(psql_master -At -c "SELECT min(time) FROM reboots")
day=$((oldest - oldest % 86400000))
suffix=$(date -u -d "@$((day / 1000))" +%Y%m%d)
day_rows=$(psql_master -At -c "SELECT (SELECT count(*) FROM reboots_p$suffix) + (SELECT count(*) FROM coredumps_p$suffix) + (SELECT count(*) FROM systemload_p$suffix) + (SELECT count(*) FROM generic_p$suffix)")
for i in 1 2 3; do
  sqlite3 "$work/local/$i.db" "UPDATE systemload SET sentToMasterDB = 0"
  sed -i "s/dbname=fleet/dbname=master/" "$work/local/$i.conf"
  "$forwarder" -c "$work/local/$i.conf" 2>"$work/local/$i.err" &
  pids+=($!)
  writers+=($!)
done
sleep 2
drop="BEGIN; SET LOCAL lock_timeout = '2s';"
first_hour=$((day / 3600000))
last_hour=$(((day + 86400000) / 3600000 - 1))
for t in "${tables[@]}"; do
  drop+=" ALTER TABLE $t DETACH PARTITION ${t}_p$suffix; DROP TABLE ${t}_p$suffix;"
  # The day's hours leave the summary, counted again from the rows left in them (none), as the forwarder does.
  drop+=" DELETE FROM ${t}_hourly WHERE hour >= $first_hour AND hour <= $last_hour;"
  drop+=" INSERT INTO ${t}_hourly SELECT time / 3600000, source, hostname, count(*), min(time), max(time) FROM $t"
  drop+=" WHERE time >= $day AND time <= $((day + 86400000 - 1)) GROUP BY 1, 2, 3;"
done
start=$(now_ms)
psql_master -c "$drop COMMIT;"
drop_ms=$(($(now_ms) - start))
for pid in "${writers[@]}"; do kill -TERM "$pid"; wait "$pid" || true; done

cat <<TABLE
master: $rows rows, $sources sources, $days days (made in $fill_s s); best of three
| measure | result |
|---|---|
| tevriklog --master -n 100 | $newest ms |
| tevriklog --master -H $pick -n 100 | $host ms |
| tevriklog --master -t reboot -S T -U T+1min | $reboots ms |
| tevriklog --master -S -1h -g admin -n 100 | $grep_ms ms |
| tevriklog --master -F hostname | $field_ms ms (row by row $field_rows_ms ms) |
| tevriklog --master --histogram 1h -S -7d | $histogram_ms ms (row by row $histogram_rows_ms ms) |
| tevriklog --master --stats | $stats_ms ms (row by row $stats_rows_ms ms) |
| hourly summaries | $summary_rows rows, $summary_size |
| follow: commit to printed line | $follow_best ms |
| forwarding: $forwarders forwarders x $backlog rows, summaries $summaries | $delivered rows ($distinct distinct) in $forward_ms ms = $((delivered * 1000 / (forward_ms > 0 ? forward_ms : 1))) rows/s; server CPU $server_ms ms = $((server_ms * 1000000 / (delivered > 0 ? delivered : 1))) ns a row; "Cannot" lines: $cannot |
| retention: drop a day of $day_rows rows, forwarders writing | $drop_ms ms |
| check at a connect, intact master ($check_partitions partitions): identity and highest rowID per table | $check_best ms of the server's time; the whole connect $connect_best ms |
TABLE
