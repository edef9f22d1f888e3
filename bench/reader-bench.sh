#!/usr/bin/env bash
# Measures tevriklog (the last N, a window, one type, and the summaries --stats, -F and --histogram)
# on a database of ROWS events (default 10,000,000) spread over the eight tables, in the three forms
# a database takes: as an earlier version kept it, with an index on time; the same converted by the
# daemon to the time map; and new, written by sqlite3 into the daemon's tables and mapped by the daemon. Beside them, the best SQL written by hand for the same answer through sqlite3
# on the earlier form. It times the conversion and the mapping. Then follow mode against the real
# daemon: latency from commit to output, and a 100,000 events/s stream. Builds what it needs in
# $BUILD_DIR (default build-bench); everything runs in a temporary directory on loopback, and the
# databases are deleted at the end.
#
#   bash bench/reader-bench.sh
#   ROWS=1000000 STREAM=200000 bash bench/reader-bench.sh     # a quicker run
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=${BUILD_DIR:-build-bench}
total=${ROWS:-10000000}
stream=${STREAM:-1000000}
runs=5

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTEVRIK_BUILD_BENCH=ON -DTEVRIK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target tevriklog tevriksystemlog tevriklogevent tevrikloadgen >/dev/null

reader=$build/logread/tevriklog
daemon=$build/daemon/tevriksystemlog
sender=$build/logevent/tevriklogevent
loadgen=$build/bench/tevrikloadgen

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# The tables in the store's order, the sender's type of each, and its columns for one line of text.
tables=(configuration coredumps reboots watchdog joinlayer specfile systemload generic)
types=(machineconfig coredump reboot watchdog joinlayer specfile sysload generic)
texts=("hardwareconf || ' ' || linuxver || ' ' || rpmsinstalled || ' ' || tevrikversion || ' ' || diskspace"
  taskname issuer triggeredBy taskName "taskname || ' ' || specfile" sysload
  "(CASE WHEN recordNumber < 0 THEN recordNumber + 18446744073709551616.0 ELSE recordNumber END) || ' ' || key || ' ' || value")
localtime="strftime('%Y-%m-%d %H:%M:%f', time / 1000.0, 'unixepoch', 'localtime')"

daemon_pid=
# start_daemon DB: the daemon on a free loopback port, storing into DB; waits until its tables exist.
start_daemon() {
  local db=$1 port
  port=$("$loadgen" --free-port)
  daemon_port=$port
  printf '[General Settings]\naddress=127.0.0.1\nport=%s\ndbpath=%s\n' "$port" "$db" >"$work/daemon.conf"
  "$daemon" -c "$work/daemon.conf" 2>>"$work/daemon.err" &
  daemon_pid=$!
  pids+=("$daemon_pid")
  local deadline=$((SECONDS + 20))
  until [[ $(sqlite3 "$db" "SELECT count(*) FROM sqlite_master WHERE name = 'generic'" 2>/dev/null) == 1 ]]; do
    ((SECONDS < deadline)) || { echo "the daemon did not start" >&2; exit 1; }
    sleep 0.1
  done
}

stop_daemon() {
  kill -TERM "$daemon_pid" 2>/dev/null || true
  wait "$daemon_pid" 2>/dev/null || true
}

count_sql="SELECT 0"
for table in "${tables[@]}"; do count_sql+=" + (SELECT count(*) FROM $table)"; done

# The rows: the daemon creates the tables, sqlite3 fills them, one statement per table, with times one
# apart in the whole store, over the last 30 days.
base=$work/base.db
echo "Building a database of $total rows..." >&2
build_start=$EPOCHREALTIME
start_daemon "$base"
stop_daemon
span=$((30 * 86400 * 1000))
now=$(date +%s%3N)
step=$((span / total))
start=$((now - step * total))
per=$((total / 8))
cte="WITH RECURSIVE c(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM c WHERE x + 1 < $per)"
t() { echo "$start + (x * 8 + $1) * $step"; }
sqlite3 "$base" >/dev/null <<SQL
PRAGMA synchronous = OFF;
$cte INSERT INTO configuration (time, hardwareconf, linuxver, rpmsinstalled, tevrikversion, diskspace)
  SELECT $(t 0), '2x AMD EPYC, 24 GiB RAM', 'Linux 6.1.0-18-amd64', 'bash-5.2 coreutils-9.1 qt5-' || (x % 13),
         '2.4.1', '/ 41G used 55G free' FROM c;
$cte INSERT INTO coredumps (time, taskname) SELECT $(t 1), 'task-' || (x % 101) FROM c;
$cte INSERT INTO reboots (time, issuer) SELECT $(t 2), 'operator-' || (x % 7) FROM c;
$cte INSERT INTO watchdog (time, triggeredBy) SELECT $(t 3), 'heartbeat-timeout-' || (x % 5) FROM c;
$cte INSERT INTO joinlayer (time, taskName) SELECT $(t 4), 'task-' || (x % 97) FROM c;
$cte INSERT INTO specfile (time, taskname, specfile) SELECT $(t 5), 'task-' || (x % 89), 'spec-' || (x % 31) || '.spec' FROM c;
$cte INSERT INTO systemload (time, sysload) SELECT $(t 6), 'load ' || (x % 400) / 100.0 FROM c;
$cte INSERT INTO generic (time, recordNumber, key, value) SELECT $(t 7), x * 7919, 'key-' || (x % 50), 'value-' || x FROM c;
SQL
sqlite3 "$base" "PRAGMA wal_checkpoint(TRUNCATE)" >/dev/null
build_ms=$(((${EPOCHREALTIME/./} - ${build_start/./}) / 1000))
rows_stored=$(sqlite3 "$base" "$count_sql")

# The earlier form: no time map, an index on time of every table.
earlier=$work/earlier.db
cp "$base" "$earlier"
{
  echo "DROP TABLE timemap; DROP TABLE timemapmark;"
  for table in schemaver "${tables[@]}"; do echo "CREATE INDEX ${table}_time ON $table(time);"; done
} | sqlite3 "$earlier"
converted=$work/converted.db
cp "$earlier" "$converted"
newer=$work/new.db
mv "$base" "$newer"

# map DB CONDITION: the daemon on DB until the condition's query gives 1; sets map_s to the seconds it took,
# from the daemon's start to its stop.
map() {
  local db=$1 condition=$2 began=$EPOCHREALTIME
  start_daemon "$db"
  until [[ $(sqlite3 -cmd ".timeout 5000" "$db" "$condition" 2>/dev/null) == 1 ]]; do sleep 0.1; done
  stop_daemon
  map_s=$(awk -v b="${began/./}" -v e="${EPOCHREALTIME/./}" 'BEGIN { printf "%.1f", (e - b) / 1e6 }')
}
echo "Converting and mapping..." >&2
map "$converted" "SELECT count(*) = 0 FROM sqlite_master WHERE type = 'index' AND name LIKE '%\\_time' ESCAPE '\\'"
convert_s=$map_s
marks_sql="SELECT 1"
for table in "${tables[@]}"; do
  marks_sql+=" AND (SELECT coalesce(max(rowID), 0) FROM $table) <= (SELECT lastRowID FROM timemapmark WHERE tableName = '$table')"
done
map "$newer" "$marks_sql"
mapnew_s=$map_s
for db in "$earlier" "$converted" "$newer"; do sqlite3 "$db" "PRAGMA wal_checkpoint(TRUNCATE)" >/dev/null; done
earlier_bytes=$(stat -c %s "$earlier")
map_bytes=$(stat -c %s "$newer")

# The hand-written queries.
union_of() { # union_of PER_TABLE_TEMPLATE: the template for each table, with @T, @Y, @X replaced
  local i sql=
  for i in "${!tables[@]}"; do
    local part=${1//@T/${tables[$i]}}
    part=${part//@Y/${types[$i]}}
    part=${part//@X/${texts[$i]}}
    sql+="${sql:+ UNION ALL }$part"
  done
  echo "$sql"
}
since=$((start + step * total * 99 / 100))
minute=$((start + step * total / 2))
until_minute=$((minute + 59999))
sql_last="SELECT $localtime, type, text FROM ($(union_of "SELECT * FROM (SELECT time, rowID, '@Y' AS type, @X AS text FROM @T ORDER BY time DESC, rowID DESC LIMIT 100)") ORDER BY time DESC, rowID DESC LIMIT 100) ORDER BY time, rowID"
sql_since="SELECT $localtime, type, text FROM ($(union_of "SELECT time, rowID, '@Y' AS type, @X AS text FROM @T WHERE time >= $since")) ORDER BY time, rowID"
sql_minute="SELECT $localtime, type, text FROM ($(union_of "SELECT time, rowID, '@Y' AS type, @X AS text FROM @T WHERE time BETWEEN $minute AND $until_minute")) ORDER BY time, rowID"
sql_type="SELECT $localtime, 'reboot', issuer FROM (SELECT time, rowID, issuer FROM reboots ORDER BY time DESC, rowID DESC LIMIT 100) ORDER BY time, rowID"
week=$((now - 7 * 86400 * 1000))
sql_field="SELECT count(*), taskname FROM (SELECT taskname FROM coredumps UNION ALL SELECT taskname FROM specfile) GROUP BY taskname ORDER BY 1 DESC, 2"
sql_histogram="SELECT (time - $week) / 3600000 AS h, count(*) FROM ($(union_of "SELECT time FROM @T WHERE time >= $week")) GROUP BY h"
sql_stats=$(union_of "SELECT '@Y', (SELECT count(*) FROM @T), (SELECT count(*) FROM @T WHERE sentToMasterDB = 0), (SELECT $localtime FROM (SELECT min(time) AS time FROM @T)), (SELECT $localtime FROM (SELECT max(time) AS time FROM @T))")

# median_ms COMMAND...: the median wall time of runs runs, output discarded.
median_ms() {
  local times=() i begin
  for ((i = 0; i < runs; ++i)); do
    begin=$EPOCHREALTIME
    "$@" >/dev/null
    times+=($(((${EPOCHREALTIME/./} - ${begin/./}) / 1000)))
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n "$((runs / 2 + 1))p"
}

lines_of() { "$@" | wc -l; }

results=()
measure() { # measure LABEL GOAL_MS SQL READER_ARGS...
  local label=$1 goal=$2 sql=$3
  shift 3
  local times=() db n m
  for db in "$earlier" "$converted" "$newer"; do times+=("$(median_ms "$reader" -D "$db" "$@")"); done
  theirs=$(median_ms sqlite3 "$earlier" "$sql")
  n=$(lines_of "$reader" -D "$newer" "$@")
  m=$(lines_of sqlite3 "$earlier" "$sql")
  results+=("$(printf '| %-34s | %13s | %7s ms | %7s ms | %7s ms | %9s ms | %7s ms |' "$label" "$n/$m" "${times[@]}" "$theirs" "$goal")")
}

echo "Timing the queries ($runs runs each, median)..." >&2
measure "tevriklog -n 100" 100 "$sql_last" -n 100
measure "tevriklog -S <one minute> -U ..." 50 "$sql_minute" -S "$minute" -U "$until_minute"
measure "tevriklog -S <last 1% of the span>" 300 "$sql_since" -S "$since"
measure "tevriklog -t reboot -n 100" 100 "$sql_type" -t reboot -n 100
measure "tevriklog --stats" 500 "$sql_stats" --stats
measure "tevriklog -F taskname" 500 "$sql_field" -F taskname
measure "tevriklog --histogram 1h -S -7d" 500 "$sql_histogram" --histogram 1h -S -7d
rm -f "$earlier"* "$converted"* "$newer"*

# Follow: a fresh daemon, a follower printing json lines stamped with the time they were read.
echo "Measuring follow mode..." >&2
fdb=$work/follow.db
start_daemon "$fdb"
"$reader" -f -n 0 -o json -D "$fdb" > >(while IFS= read -r line; do
  printf '%s %s\n' "${EPOCHREALTIME/./}" "$line"
done >"$work/latency.out") &
follower=$!
pids+=("$follower")
sleep 0.5
for i in $(seq 1 20); do
  "$sender" -p "$daemon_port" -t reboot -m "latency-$i"
  sleep 0.2
done
deadline=$((SECONDS + 10))
until (($(wc -l <"$work/latency.out") >= 20)) || ((SECONDS >= deadline)); do sleep 0.1; done
kill -TERM "$follower"
wait "$follower" 2>/dev/null || true
latency=$(sed -E 's/^([0-9]+) .*"time":([0-9]+),.*/\1 \2/' "$work/latency.out" | awk '{ printf "%.0f\n", $1 / 1000 - $2 }' |
  sort -n | awk '{ s[NR] = $1 } END { printf "%d rows, median %d ms, max %d ms", NR, s[int((NR + 1) / 2)], s[NR] }')
stop_daemon

# The stream, at 100,000 events/s: once without a reader, once with a follower that prints every row.
ticks=$(getconf CLK_TCK)
# stream_run FOLLOW: sets sent, rate, stored, printed and follower_cpu.
stream_run() {
  local sdb
  sdb=$(mktemp -u "$work/stream.XXXX.db")
  start_daemon "$sdb"
  printed=- follower_cpu=- follower=
  if (($1)); then
    "$reader" -f -n 0 -D "$sdb" > >(wc -l >"$sdb.printed") &
    follower=$!
    pids+=("$follower")
  fi
  sleep 0.5
  local out
  out=$("$loadgen" --port "$daemon_port" --count "$stream" --rate 100000)
  sent=$(sed -E 's/.*sent=([0-9]+).*/\1/' <<<"$out")
  rate=$(sed -E 's/.*rate=([0-9]+).*/\1/' <<<"$out")
  stored=0
  local last=-1 deadline=$((SECONDS + 60))
  while ((SECONDS < deadline)); do
    stored=$(sqlite3 -cmd ".timeout 10000" "$sdb" "$count_sql")
    ((stored >= sent || stored == last)) && break
    last=$stored
    sleep 1
  done
  if [[ -n $follower ]]; then
    sleep 1
    follower_cpu=$(awk -v t="$ticks" '{ printf "%.1f s", ($14 + $15) / t }' "/proc/$follower/stat")
    kill -TERM "$follower"
    wait "$follower" 2>/dev/null || true
    for _ in $(seq 1 50); do [[ -s $sdb.printed ]] && break; sleep 0.1; done
    printed=$(cat "$sdb.printed")
  fi
  stop_daemon
  rm -f "$sdb" "$sdb-wal" "$sdb-shm"
  streams+=("$(printf '| %-16s | %9s | %9s | %9s | %9s | %9s | %12s |' "$2" "$rate" "$sent" "$stored" "$((sent - stored))" "$printed" "$follower_cpu")")
}
streams=()
stream_run 0 "daemon alone"
stream_run 1 "with a follower"

echo
echo "Database: $rows_stored rows over the eight tables, built in $((build_ms / 1000)) s; $((earlier_bytes / 1048576)) MiB with"
echo "the earlier index on time, $((map_bytes / 1048576)) MiB with the time map."
echo "Converted by the daemon in $convert_s s; the same rows written by another program mapped in $mapnew_s s"
echo "(from the daemon's start until the last table is mapped)."
echo
printf '| %-34s | %13s | %10s | %10s | %10s | %12s | %10s |\n' query rows "earlier" "converted" "new" "sqlite3" "goal"
echo "|------------------------------------|---------------|------------|------------|------------|--------------|------------|"
printf '%s\n' "${results[@]}"
echo
echo "(tevriklog on each form of the database; rows: lines printed by tevriklog on the new one / by sqlite3;"
echo "sqlite3 with the best hand-written SQL for the same answer on the earlier form, with its index)"
echo
echo "Follow latency, from the sender's time stamp to the line read from the output (goal 500 ms): $latency"
echo
printf '| %-16s | %9s | %9s | %9s | %9s | %9s | %12s |\n' "stream" "events/s" sent stored lost printed "follower CPU"
echo "|------------------|-----------|-----------|-----------|-----------|-----------|--------------|"
printf '%s\n' "${streams[@]}"
