#!/usr/bin/env bash
# Measures tevriklogforward against a PostgreSQL 15 server of its own (initdb into a temporary
# directory, Unix socket only, default durability) and prints one table:
#   1. a backlog of about 1,000,000 local rows forwarded while the daemon stores a steady
#      10,000 events/s (STEADY_RATE), and whether the daemon lost any;
#   2. the steady-state delay from a local commit to the rows' arrival on the master;
#   3. three ways of writing the same rows (one table, psql as the client): one INSERT per row in
#      autocommit (the simplest forwarder), multi-row INSERT ... ON CONFLICT DO NOTHING per batch,
#      and COPY into a temporary table then INSERT ... SELECT ... ON CONFLICT DO NOTHING per batch.
#
#   bash bench/forward-bench.sh                       # about two minutes on 2 cores
#   STEADY_RATE=100000 bash bench/forward-bench.sh    # intake at 100,000/s beside the backlog
#
# Needs the PostgreSQL 15 server and client (postgresql), sqlite3; runs the server as nobody
# when started as root. BUILD_DIR (default build-bench) receives a Release build.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=${BUILD_DIR:-build-bench}
backlog=${BACKLOG:-1000000}
steady_rate=${STEADY_RATE:-10000}

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTEVRIK_BUILD_BENCH=ON -DTEVRIK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target tevriksystemlog tevriklogforward tevrikloadgen masterschema >/dev/null
daemon=$build/daemon/tevriksystemlog
forwarder=$build/forward/tevriklogforward
loadgen=$build/bench/tevrikloadgen

source bench/pgserver.sh
start_pg_server
psql_master() { psql -X -q -v ON_ERROR_STOP=1 -h "$work/pg" -U postgres "$@"; }
psql_master -c "CREATE DATABASE master" -c "CREATE DATABASE strategies"

mapfile -t tables < <("$build/eventmodel/eventmodelgen" tables /dev/stdout)
sum_sql() { local sql="SELECT 0"; for t in "${tables[@]}"; do sql+=" + (SELECT count(*) FROM $t $1)"; done; echo "$sql"; }
local_count() { sqlite3 -cmd ".timeout 10000" "$db" "$(sum_sql "${1:-}")"; }
master_count() { psql_master -d master -At -c "$(sum_sql "")" 2>/dev/null || echo 0; }
# The rows go in rowID order, table by table, so the master holds every local row up to a table's
# highest rowID once it holds that one: two index look-ups per table instead of counting the tables.
local_highest() {
  local sql="SELECT 0" t
  for t in "${tables[@]}"; do sql+=", (SELECT COALESCE(max(rowID), 0) FROM $t)"; done
  sqlite3 -cmd ".timeout 10000" "$db" "$sql"
}
# master_holds HIGHEST: true when the master holds each table's rows up to the rowIDs that local_highest gave.
master_holds() {
  local -a highest
  IFS='|' read -ra highest <<<"$1"
  local sql="SELECT true" i
  for i in "${!tables[@]}"; do
    sql+=" AND COALESCE((SELECT rowid FROM ${tables[i]} ORDER BY source DESC, rowid DESC LIMIT 1), 0) >= ${highest[i + 1]}"
  done
  [[ $(psql_master -d master -At -c "$sql" 2>/dev/null) == t ]]
}
now_ms() { date +%s%3N; }

port=$("$loadgen" --free-port)
db=$work/systemlog.db
cat >"$work/conf" <<CONF
[General Settings]
address=127.0.0.1
port=$port
dbpath=$db

[Master Database]
conninfo=host=$work/pg dbname=master user=postgres
CONF
"$daemon" -c "$work/conf" 2>"$work/daemon.err" &
daemon_pid=$!
pids+=("$daemon_pid")
wait_for_tables "$db"

# wait_local N: until the daemon has stored N rows or stops storing.
wait_local() {
  local last=-1 now deadline=$((SECONDS + 120))
  while ((SECONDS < deadline)); do
    now=$(local_count)
    ((now >= $1 || now == last)) && break
    last=$now
    sleep 1
  done
}

echo "building a backlog of $backlog rows..." >&2
"$loadgen" --port "$port" --count "$backlog" --rate 100000 >/dev/null
wait_local "$backlog"
stored_backlog=$(local_count)
backlog_highest=$(local_highest)

# 1. The backlog, with the daemon storing a steady stream meanwhile.
steady_seconds=20
"$loadgen" --port "$port" --count $((steady_rate * steady_seconds)) --rate "$steady_rate" >"$work/steady.out" &
loadgen_pid=$!
pids+=("$loadgen_pid")
server_before=$(cpu_ms $(server_pids))
daemon_before=$(cpu_ms "$daemon_pid")
start=$(now_ms)
"$forwarder" -c "$work/conf" ${FORWARD_DEBUG:-} 2>"$work/forward.err" &
forwarder_pid=$!
pids+=("$forwarder_pid")
deadline=$((SECONDS + 120))
until master_holds "$backlog_highest"; do
  ((SECONDS < deadline)) || { echo "the backlog did not arrive in 120 s" >&2; exit 1; }
  sleep 0.1
done
backlog_ms=$(($(now_ms) - start))
# The processor time of each process over the backlog, beside the wall time on 2 cores.
forwarder_cpu=$(cpu_ms "$forwarder_pid")
server_cpu=$(($(cpu_ms $(server_pids)) - server_before))
daemon_cpu=$(($(cpu_ms "$daemon_pid") - daemon_before))
loadgen_cpu=$(cpu_ms "$loadgen_pid" $(pgrep -P "$loadgen_pid"))

wait "$loadgen_pid" || true

# 2. Steady state, the backlog gone: a second 10,000 events/s stream, the delay from a local
# commit to the master sampled meanwhile.
"$loadgen" --port "$port" --count $((10000 * 10)) --rate 10000 >"$work/latency.out" &
loadgen_pid=$!
pids+=("$loadgen_pid")
# The load generator stamps every event with one time, so the delay is measured by rowIDs: from
# reading the highest local rowIDs to the master holding those rows.
lags=()
while kill -0 "$loadgen_pid" 2>/dev/null; do
  t0=$(now_ms)
  seen=$(local_highest)
  until master_holds "$seen"; do sleep 0.02; done
  lags+=($(($(now_ms) - t0)))
done
wait "$loadgen_pid" || true
latency_sent=$(sed -E 's/.*sent=([0-9]+).*/\1/' "$work/latency.out")
steady_sent=$(sed -E 's/.*sent=([0-9]+).*/\1/' "$work/steady.out")
wait_local $((stored_backlog + steady_sent + latency_sent))
total_local=$(local_count)
deadline=$((SECONDS + 60))
until (($(master_count) == total_local)) && (($(local_count "WHERE sentToMasterDB = 0") == 0)); do
  ((SECONDS < deadline)) || break
  sleep 0.2
done
total_master=$(master_count)
[[ -n ${FORWARD_DEBUG:-} ]] && cp "$work/forward.err" /tmp/forward-bench.err
kill -TERM "$forwarder_pid"
wait "$forwarder_pid" || true
lost=$((stored_backlog + steady_sent + latency_sent - total_local))
steady_lags=$(printf '%s\n' "${lags[@]}" | sort -n)
lag_median=$(awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}' <<<"$steady_lags")
lag_max=$(tail -n 1 <<<"$steady_lags")

# 3. Three ways of writing the same rows of one table.
psql_master -d strategies -f "$build/forward/master-schema.sql" >/dev/null
strategy_rows=$(sqlite3 "$db" "SELECT count(*) FROM systemload")
single_rows=20000
sqlite3 "$db" "SELECT printf('INSERT INTO systemload (source, hostname, rowid, time, at, sysload) VALUES (''00000000-0000-0000-0000-000000000001'', ''bench'', %d, %d, to_timestamp(%d / 1000.0), %Q) ON CONFLICT DO NOTHING;', rowID, time, time, sysload) FROM systemload ORDER BY rowID LIMIT $single_rows" >"$work/single.sql"
sqlite3 "$db" "SELECT 'BEGIN; INSERT INTO systemload (source, hostname, rowid, time, at, sysload) VALUES ' || group_concat(printf('(''00000000-0000-0000-0000-000000000001'', ''bench'', %d, %d, to_timestamp(%d / 1000.0), %Q)', rowID, time, time, sysload), ', ') || ' ON CONFLICT DO NOTHING; COMMIT;' FROM systemload GROUP BY (rowID - 1) / 5000" >"$work/multi.sql"
sqlite3 "$db" "SELECT 'BEGIN; CREATE TEMP TABLE stage (rowid bigint, time bigint, sysload text) ON COMMIT DROP; COPY stage FROM STDIN;' || char(10) || group_concat(printf('%d%s%d%s%s', rowID, char(9), time, char(9), sysload), char(10)) || char(10) || '\\.' || char(10) || 'INSERT INTO systemload (source, hostname, rowid, time, at, sysload) SELECT ''00000000-0000-0000-0000-000000000001'', ''bench'', rowid, time, to_timestamp(time / 1000.0), sysload FROM stage ON CONFLICT DO NOTHING; COMMIT;' FROM systemload GROUP BY (rowID - 1) / 5000" >"$work/copy.sql"
strategy() {
  psql_master -d strategies -c "TRUNCATE systemload"
  local t0 t1
  t0=$(now_ms)
  psql_master -d strategies -f "$1" >/dev/null
  t1=$(now_ms)
  echo $(( $2 * 1000 / (t1 - t0 > 0 ? t1 - t0 : 1) ))
}
single_rate=$(strategy "$work/single.sql" "$single_rows")
multi_rate=$(strategy "$work/multi.sql" "$strategy_rows")
copy_rate=$(strategy "$work/copy.sql" "$strategy_rows")

printf '%-62s %s\n' "measure" "result"
printf '%-62s %s\n' "backlog forwarded (rows)" "$stored_backlog"
printf '%-62s %s ms, %s rows/s\n' "backlog time to the master, daemon at $steady_rate/s (goal <= 10 s)" "$backlog_ms" \
  $((stored_backlog * 1000 / backlog_ms))
printf '%-62s forwarder %s, server %s, daemon %s, loadgen %s ms\n' "processor time over the backlog" \
  "$forwarder_cpu" "$server_cpu" "$daemon_cpu" "$loadgen_cpu"
printf '%-62s %s sent, %s lost\n' "daemon at $steady_rate/s meanwhile, then 10,000/s for 10 s" "$((steady_sent + latency_sent))" "$lost"
printf '%-62s %s local, %s master\n' "rows at the end" "$total_local" "$total_master"
printf '%-62s median %s ms, max %s ms\n' "steady state: local commit to master (goal <= 2 s)" "$lag_median" "$lag_max"
printf '%-62s %s rows/s\n' "one INSERT per row, autocommit ($single_rows rows)" "$single_rate"
printf '%-62s %s rows/s\n' "multi-row INSERT ON CONFLICT, 5000 a transaction ($strategy_rows rows)" "$multi_rate"
printf '%-62s %s rows/s\n' "COPY + INSERT SELECT ON CONFLICT, 5000 a transaction ($strategy_rows rows)" "$copy_rate"
