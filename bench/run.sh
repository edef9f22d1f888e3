#!/usr/bin/env bash
# Measures how many events the daemon stores under load, and how fast the sender starts, and
# prints one table. Builds what it needs in $BUILD_DIR (default build-bench), runs every daemon
# on a free loopback port with a private configuration and database in a temporary directory.
#
#   bash bench/run.sh            # everything, a few minutes on 2 cores
#   SKIP_RSYSLOG=1 bash bench/run.sh
#
# Needs sqlite3 and, for the comparison rows, rsyslogd (apt-get install rsyslog; it is run on
# its own configuration, never as the system service) and logger (util-linux).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=${BUILD_DIR:-build-bench}

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTEVRIK_BUILD_BENCH=ON -DTEVRIK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target tevriksystemlog tevriksystemlog-baseline tevriklogevent \
  tevrikloadgen tevrikfloorsender >/dev/null

daemon=$build/daemon/tevriksystemlog
baseline=$build/bench/tevriksystemlog-baseline
sender=$build/logevent/tevriklogevent
floor=$build/bench/tevrikfloorsender
loadgen=$build/bench/tevrikloadgen

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

tables=(coredumps reboots watchdog joinlayer systemload specfile configuration generic)
count_sql="SELECT 0"
for table in "${tables[@]}"; do count_sql+=" + (SELECT count(*) FROM $table)"; done

server_pid=
server_kind=
server_store=
server_port=

# start_server KIND: a fresh daemon (new or baseline) or rsyslogd with an empty store.
start_server() {
  server_kind=$1
  # Dirty pages of an earlier scenario would slow this one's disk flushes.
  sync
  server_port=$("$loadgen" --free-port)
  local dir
  dir=$(mktemp -d "$work/$server_kind.XXXX")
  local deadline=$((SECONDS + 20))
  if [[ $server_kind == rsyslog ]]; then
    server_store=$dir/messages.log
    mkdir -p "$dir/spool"
    cat >"$dir/rsyslog.conf" <<EOF
global(workDirectory="$dir/spool")
module(load="imudp")
input(type="imudp" address="127.0.0.1" port="$server_port" rcvbufSize="96m")
*.* action(type="omfile" file="$server_store")
EOF
    rsyslogd -n -f "$dir/rsyslog.conf" -i "$dir/rsyslogd.pid" 2>"$dir/stderr" &
    server_pid=$!
    until ss -Hlun "sport = :$server_port" | grep -q .; do
      ((SECONDS < deadline)) || { echo "rsyslogd did not start" >&2; exit 1; }
      sleep 0.1
    done
  else
    server_store=$dir/systemlog.db
    printf '[General Settings]\naddress=127.0.0.1\nport=%s\ndbpath=%s\n' "$server_port" "$server_store" >"$dir/conf"
    local program=$daemon
    [[ $server_kind == baseline ]] && program=$baseline
    "$program" -c "$dir/conf" 2>"$dir/stderr" &
    server_pid=$!
    until [[ $(sqlite3 "$server_store" "SELECT count(*) FROM sqlite_master WHERE name = 'generic'" 2>/dev/null) == 1 ]]; do
      ((SECONDS < deadline)) || { echo "the daemon did not start" >&2; exit 1; }
      sleep 0.1
    done
  fi
  pids+=("$server_pid")
}

stored() {
  if [[ $server_kind == rsyslog ]]; then
    [[ -f $server_store ]] && wc -l <"$server_store" || echo 0
  else
    sqlite3 -cmd ".timeout 10000" "$server_store" "$count_sql"
  fi
}

# wait_stored SENT: the stored count once it reaches SENT or stops growing.
wait_stored() {
  local sent=$1 last=-1 same=0 now deadline=$((SECONDS + 120))
  while ((SECONDS < deadline)); do
    now=$(stored)
    ((now >= sent)) && break
    if ((now == last)); then ((++same >= 4)) && break; else same=0; fi
    last=$now
    sleep 0.5
  done
  echo "$now"
}

stop_server() {
  kill -TERM "$server_pid" 2>/dev/null || true
  local deadline=$((SECONDS + 20))
  while kill -0 "$server_pid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.1; done
  kill -KILL "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
}

peak_rss() { awk '/VmHWM/ { printf "%.1f MiB", $2 / 1024 }' "/proc/$server_pid/status"; }
rss_now() { awk '/VmRSS/ { printf "%.1f\n", $2 / 1024 }' "/proc/$server_pid/status"; }

rows=()
notes=()
row() { rows+=("$(printf '%-42s %12s %12s %9s %10s %10s' "$@")"); }

# send COUNT [RATE]: runs the load generator; sets sent and rate.
send() {
  local args=(--port "$server_port" --count "$1")
  [[ -n ${2:-} ]] && args+=(--rate "$2")
  local out
  out=$("$loadgen" "${args[@]}")
  sent=$(sed -E 's/.*sent=([0-9]+).*/\1/' <<<"$out")
  rate=$(sed -E 's/.*rate=([0-9]+).*/\1/' <<<"$out")
}

# scenario LABEL KIND COUNT [RATE]
scenario() {
  local label=$1 kind=$2
  start_server "$kind"
  send "$3" "${4:-}"
  local got
  got=$(wait_stored "$sent")
  local rss=-
  [[ $kind != rsyslog ]] && rss=$(peak_rss)
  row "$label" "$sent" "$got" $((sent - got)) "$rate" "$rss"
  stop_server
}

# highest_rate LABEL KIND RATE...: steps up the rate, 3 s of events a step, until a step loses
# events or is still storing one second after the last was sent (the rate is above what the
# server sustains, its receive buffer only hides that for a while).
highest_rate() {
  local label=$1 kind=$2
  shift 2
  local best=none best_sent=0 best_got=0 step
  for step in "$@"; do
    start_server "$kind"
    send $((step * 3)) "$step"
    sleep 1
    local kept_up
    kept_up=$(stored)
    local got
    got=$(wait_stored "$sent")
    stop_server
    if ((got < sent || kept_up < sent)); then
      notes+=("$label: the step of $step/s sent $sent, had stored $kept_up one second later, $got in the end")
      break
    fi
    best=$rate best_sent=$sent best_got=$got
  done
  row "$label" "$best_sent" "$best_got" $((best_sent - best_got)) "$best" "-"
}

echo "Running the scenarios (a few minutes)..." >&2

# Goal 1, with the resident memory sampled to show that it does not grow with the events.
start_server new
rss_log=$work/rss
(while kill -0 "$server_pid" 2>/dev/null; do rss_now >>"$rss_log"; sleep 0.5; done) &
sampler=$!
send 1000000 100000
got=$(wait_stored "$sent")
row "steady 1,000,000 at 100,000/s" "$sent" "$got" $((sent - got)) "$rate" "$(peak_rss)"
kill "$sampler" 2>/dev/null || true
wait "$sampler" 2>/dev/null || true
rss_early=$(sed -n 3p "$rss_log")
rss_late=$(grep . "$rss_log" | tail -1)
stop_server

scenario "burst 200,000 unpaced" new 200000
highest_rate "highest zero-loss rate" new 100000 125000 150000 175000 200000 250000 300000 350000

have_rsyslog=0
if [[ -z ${SKIP_RSYSLOG:-} ]] && command -v rsyslogd >/dev/null; then have_rsyslog=1; fi

row "" "" "" "" "" ""
scenario "old design: steady 1,000,000 at 100,000/s" baseline 1000000 100000
scenario "old design: burst 200,000 unpaced" baseline 200000
highest_rate "old design: highest zero-loss rate" baseline 100 200 300 500 700 1000 1500 2000 3000

if ((have_rsyslog)); then
  row "" "" "" "" "" ""
  scenario "rsyslog: steady 1,000,000 at 100,000/s" rsyslog 1000000 100000
  scenario "rsyslog: burst 200,000 unpaced" rsyslog 200000
  highest_rate "rsyslog: highest zero-loss rate" rsyslog 100000 125000 150000 175000 200000 250000 300000 350000
fi

# Goal 5: median wall time of one run, the three programs taking turns.
port=$("$loadgen" --free-port)
declare -A times=()
# timed NAME COMMAND...: runs the command and adds its wall time in microseconds to times[NAME].
timed() {
  local name=$1 t0 t1
  shift
  t0=$EPOCHREALTIME
  "$@"
  t1=$EPOCHREALTIME
  times[$name]+="$((${t1/./} - ${t0/./}))"$'\n'
}
for ((i = 0; i < 101; ++i)); do
  timed sender "$sender" -p "$port" -t reboot -m admin
  timed floor "$floor" "$port"
  if command -v logger >/dev/null; then timed logger logger -n 127.0.0.1 -P "$port" -d admin; fi
done
median() { grep . <<<"${times[$1]:-}" | sort -n | sed -n 51p; }
sender_us=$(median sender)
floor_us=$(median floor)

printf '%-42s %12s %12s %9s %10s %10s\n' scenario "events sent" "rows stored" lost "events/s" "peak RSS"
printf '%s\n' "${rows[@]}"
echo
printf '%s\n' "${notes[@]}"
echo
echo "daemon RSS early in the steady run / at its end: $rss_early MiB / $rss_late MiB"
echo
awk -v s="$sender_us" -v f="$floor_us" -v l="$(median logger)" 'BEGIN {
  printf "sender start-up, median of 101 runs: tevriklogevent %.2f ms, floor %.2f ms (ratio %.2f)", s / 1000, f / 1000, s / f
  if (l != "") printf ", logger %.2f ms", l / 1000
  print ""
}'
