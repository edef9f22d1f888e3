#!/usr/bin/env bash
# Measures the daemon beside rsyslog and beside the daemon's first design under the same loads, and
# prints one table: CPU per stored event, the highest zero-loss rate over three runs, a burst at full
# speed, how soon a row is visible, memory, a scale curve over datagram sizes, and the sender's
# start-up. Builds what it needs in $BUILD_DIR (default build-bench); every server runs on a free
# loopback port with a private configuration and store in a temporary directory.
#
#   bash bench/run.sh              # everything, about 8 minutes on 2 cores
#   QUICK=1 bash bench/run.sh      # smaller loads and one zero-loss run, for development
#   SKIP_RSYSLOG=1 bash bench/run.sh
#
# The results (table.txt, scale.dat, scale.png) go to $RESULTS_DIR (default $BUILD_DIR/results).
# Needs sqlite3; installs rsyslog (run only on its own configuration here, never as the system
# service) and gnuplot-nox when they are missing and it runs as root.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=${BUILD_DIR:-build-bench}
results=${RESULTS_DIR:-$build/results}
quick=${QUICK:-}

install_missing() {
  local missing=()
  command -v rsyslogd >/dev/null || [[ -n ${SKIP_RSYSLOG:-} ]] || missing+=(rsyslog)
  command -v gnuplot >/dev/null || missing+=(gnuplot-nox)
  ((${#missing[@]})) || return 0
  if (($(id -u) != 0)); then
    echo "not root: ${missing[*]} not installed, their parts are left out" >&2
    return 0
  fi
  # Installing must not start the system's rsyslog service.
  local policy=/usr/sbin/policy-rc.d own_policy=
  if [[ ! -e $policy ]]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod +x "$policy" && own_policy=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null ||
    { apt-get update >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null; } ||
    echo "could not install ${missing[*]}" >&2
  [[ -n $own_policy ]] && rm -f "$policy"
  return 0
}
install_missing

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTEVRIK_BUILD_BENCH=ON -DTEVRIK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target eventmodelgen tevriksystemlog tevriklogevent tevrikloadgen tevrikfloorsender \
  tevrikolddesign tevrikprobepoller tevrikstagecost tevrikschemacost tevriktextcost >/dev/null

daemon=$build/daemon/tevriksystemlog
olddesign=$build/bench/tevrikolddesign
sender=$build/logevent/tevriklogevent
floor=$build/bench/tevrikfloorsender
loadgen=$build/bench/tevrikloadgen
poller=$build/bench/tevrikprobepoller
stagecost=$build/bench/tevrikstagecost
schemacost=$build/bench/tevrikschemacost
textcost=$build/bench/tevriktextcost

mkdir -p "$results"
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

have_rsyslog=0
if [[ -z ${SKIP_RSYSLOG:-} ]] && command -v rsyslogd >/dev/null; then have_rsyslog=1; fi
servers=(daemon)
((have_rsyslog)) && servers+=(rsyslog)

# Sizes of the loads; QUICK=1 makes them small. The lock scenario holds the write lock for lock_held
# seconds, from lock_after seconds into a load of lock_count events at 100,000/s.
if [[ -n $quick ]]; then
  steady_count=200000 burst_count=200000 zero_loss_runs=1 step_seconds=2 scale_seconds=1
  lock_count=400000 lock_after=1 lock_held=2
else
  steady_count=1000000 burst_count=1000000 zero_loss_runs=3 step_seconds=5 scale_seconds=2
  lock_count=1000000 lock_after=2 lock_held=5
fi
lock_seconds=0
zero_loss_steps=(200000 250000 300000 350000 400000 450000 top)
old_steps=(250 500 1000 1500 2000 3000)
scale_rates=(10000 100000 300000)
scale_sizes=(50 1000 10000 60000)
# The generator: one process with sendmmsg batches; more processes only take the servers' core.
gen=(--batch "${LOADGEN_BATCH:-512}" --processes "${LOADGEN_PROCESSES:-1}")

mapfile -t tables < <("$build/eventmodel/eventmodelgen" tables /dev/stdout)
count_sql="SELECT 0"
for table in "${tables[@]}"; do count_sql+=" + (SELECT count(*) FROM $table)"; done

server_pid= server_kind= server_store= server_port=

daemon_config() { printf '[General Settings]\naddress=127.0.0.1\nport=%s\ndbpath=%s\n' "$2" "$3" >"$1"; }

source bench/daemonwait.sh

wait_for_port() {
  local deadline=$((SECONDS + 20))
  until ss -Hlun "sport = :$1" | grep -q .; do
    ((SECONDS < deadline)) || { echo "$2 did not start" >&2; exit 1; }
    sleep 0.1
  done
}

# start_server KIND: a fresh daemon, old design or rsyslogd with an empty store.
start_server() {
  server_kind=$1
  # Dirty pages of an earlier scenario would slow this one's disk flushes.
  sync
  server_port=$("$loadgen" --free-port)
  local dir
  dir=$(mktemp -d "$work/$server_kind.XXXX")
  case $server_kind in
  rsyslog)
    server_store=$dir/messages.log
    mkdir -p "$dir/spool"
    cat >"$dir/rsyslog.conf" <<EOF
global(workDirectory="$dir/spool" maxMessageSize="64k")
module(load="imudp" threads="1")
input(type="imudp" address="127.0.0.1" port="$server_port" rcvbufSize="96m")
*.* action(type="omfile" file="$server_store")
EOF
    rsyslogd -n -f "$dir/rsyslog.conf" -i "$dir/rsyslogd.pid" 2>"$dir/stderr" &
    server_pid=$!
    wait_for_port "$server_port" rsyslogd
    ;;
  daemon)
    server_store=$dir/systemlog.db
    daemon_config "$dir/conf" "$server_port" "$server_store"
    "$daemon" -c "$dir/conf" 2>"$dir/stderr" &
    server_pid=$!
    wait_for_tables "$server_store"
    ;;
  old)
    # The daemon makes the tables; the old design then stores into them with the default journal.
    server_store=$dir/systemlog.db
    daemon_config "$dir/conf" "$server_port" "$server_store"
    "$daemon" -c "$dir/conf" 2>"$dir/stderr" &
    server_pid=$!
    wait_for_tables "$server_store"
    stop_server
    sqlite3 "$server_store" "PRAGMA journal_mode=DELETE" >/dev/null
    "$olddesign" "$server_port" "$server_store" >/dev/null 2>"$dir/stderr" &
    server_pid=$!
    wait_for_port "$server_port" tevrikolddesign
    ;;
  esac
  pids+=("$server_pid")
}

stored() {
  if [[ $server_kind == rsyslog ]]; then
    if [[ -f $server_store ]]; then wc -l <"$server_store"; else echo 0; fi
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

# User and system time of the server process, all its threads, in clock ticks.
cpu_ticks() { sed 's/.*) //' "/proc/$server_pid/stat" | awk '{ print $12 + $13 }'; }
# The same in nanoseconds, from the scheduler's accounting of each thread.
cpu_ns() { cat /proc/"$server_pid"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f\n", s }'; }
ticks=$(getconf CLK_TCK)

peak_rss() { awk '/VmHWM/ { printf "%.1f MiB", $2 / 1024 }' "/proc/$server_pid/status"; }
rss_now() { awk '/VmRSS/ { printf "%.1f\n", $2 / 1024 }' "/proc/$server_pid/status"; }

rows=()
notes=()
format='%-44s %9s %9s %8s %8s %8s %15s %9s'
row() { rows+=("$(printf "$format" "$@")"); }
label_of() { case $1 in daemon) echo "tevrik" ;; old) echo "old design" ;; *) echo "$1" ;; esac; }

# send COUNT RATE [loadgen options]: sets sent, rate and probes; RATE 0 is unpaced.
send() {
  local count=$1 pace=$2
  shift 2
  local args=(--port "$server_port" --count "$count" "${gen[@]}" "$@")
  ((pace > 0)) && args+=(--rate "$pace")
  local out
  out=$("$loadgen" "${args[@]}" || true)
  sent=$(sed -E 's/.*sent=([0-9]+).*/\1/' <<<"$out")
  rate=$(sed -E 's/.*rate=([0-9]+).*/\1/' <<<"$out")
}

start_poller() {
  if [[ $server_kind == rsyslog ]]; then
    "$poller" --file "$server_store" --seconds 300 >"$work/latency" &
  else
    "$poller" --db "$server_store" --seconds 300 >"$work/latency" &
  fi
  poller_pid=$!
}

# Stops the poller and sets latency to "p99 / max" of the probes, in ms. Not run in a subshell: only
# this shell can wait for the poller to write its result.
stop_poller() {
  kill -TERM "$poller_pid" 2>/dev/null || true
  wait "$poller_pid" 2>/dev/null || true
  latency=$(sed -E 's/.*probes=([0-9]+) p50=([0-9.]+) p99=([0-9.]+) max=([0-9.]+).*/\3 \/ \4 (\1)/' "$work/latency")
}

# measured LABEL KIND COUNT RATE [loadgen options]: one server, one load with latency probes, CPU and memory.
measured() {
  local label=$1 kind=$2 count=$3 pace=$4
  shift 4
  start_server "$kind"
  rss_log=$work/rss.$kind
  : >"$rss_log"
  (while kill -0 "$server_pid" 2>/dev/null; do rss_now >>"$rss_log" 2>/dev/null; sleep 0.5; done) &
  local sampler=$!
  start_poller
  local before holder=
  before=$(cpu_ticks)
  # Another process takes the write lock lock_after seconds into the load and keeps it lock_seconds.
  if ((lock_seconds > 0)); then
    (sleep "$lock_after"; { echo "BEGIN IMMEDIATE;"; sleep "$lock_seconds"; echo "COMMIT;"; } |
      sqlite3 -cmd ".timeout 10000" "$server_store" >/dev/null) &
    holder=$!
  fi
  send "$count" "$pace" --probe-ms 10 "$@"
  [[ -n $holder ]] && wait "$holder"
  local got
  got=$(wait_stored "$sent")
  local cpu=$(($(cpu_ticks) - before))
  local latency
  stop_poller
  kill "$sampler" 2>/dev/null || true
  wait "$sampler" 2>/dev/null || true
  local rss=-
  [[ $kind != rsyslog ]] && rss=$(peak_rss)
  local per_event=-
  ((got > 0)) && per_event=$(awk -v c="$cpu" -v t="$ticks" -v n="$got" 'BEGIN { printf "%.2f", c / t * 1e6 / n }')
  row "$(label_of "$kind"): $label" "$sent" "$got" $((sent - got)) "$rate" "$per_event" "$latency" "$rss"
  if [[ $kind == daemon ]]; then
    rss_notes+=("$label: resident $(sed -n 3p "$rss_log") MiB after 1 s, $(grep . "$rss_log" | tail -1) MiB at the end")
  fi
  stop_server
}

# zero_loss KIND STEP...: steps up the rate, each step on a fresh server for step_seconds; a step
# passes when no event is lost and all are stored one second after the last was sent (a server
# still catching up lives off its receive buffer, which would overflow at that rate given time).
# "top" is the generator unpaced. Sets best to the highest rate that passed.
zero_loss() {
  local kind=$1
  shift
  best=0
  local step
  for step in "$@"; do
    start_server "$kind"
    if [[ $step == top ]]; then
      send $((1000000 * step_seconds)) 0 --seconds "$step_seconds"
    else
      send $((step * step_seconds)) "$step" --seconds $((step_seconds + 1))
    fi
    sleep 1
    local kept_up got
    kept_up=$(stored)
    got=$(wait_stored "$sent")
    stop_server
    if ((got < sent || kept_up < sent)); then
      notes+=("$(label_of "$kind") zero-loss run $run: the step $step at $rate/s sent $sent, had stored $kept_up one second later, $got in the end")
      break
    fi
    best=$rate
  done
}

echo "Running the scenarios..." >&2
rss_notes=()

# What the generator reaches alone, into a socket that nobody reads.
generator_notes=()
for processes in 1 2; do
  out=$("$loadgen" --sink --count 3000000 --batch "${LOADGEN_BATCH:-512}" --processes "$processes" --seconds 3)
  generator_notes+=("$processes process(es): $(sed -E 's/.*rate=([0-9]+).*/\1/' <<<"$out")/s")
done
for size in 50 1000 10000 60000; do
  out=$("$loadgen" --sink --count 3000000 --batch "${LOADGEN_BATCH:-512}" --size "$size" --seconds 2)
  generator_notes+=("$size B: $(sed -E 's/.*rate=([0-9]+).*/\1/' <<<"$out")/s")
done

for kind in "${servers[@]}" old; do
  measured "steady $steady_count at 100,000/s" "$kind" "$steady_count" 100000
done
# Times out of order, as several senders of one machine make them: each 0 to 4 s before it is sent.
measured "out of order $steady_count at 100,000/s" daemon "$steady_count" 100000 --spread-ms 4000
# Another process holds the write lock for seconds: the rows wait in memory, none may be lost.
lock_seconds=$lock_held
measured "lock held ${lock_held} s, $lock_count at 100,000/s" daemon "$lock_count" 100000
lock_seconds=0
row "" "" "" "" "" "" "" ""
# A flood the daemon can follow: how soon rows are visible while it is busy all the time.
for kind in "${servers[@]}"; do
  measured "flood $((steady_count * 3 / 2)) at 300,000/s" "$kind" $((steady_count * 3 / 2)) 300000
done
row "" "" "" "" "" "" "" ""
for kind in "${servers[@]}"; do
  measured "burst $burst_count at full speed" "$kind" "$burst_count" 0
done
measured "burst 200000 at full speed" old 200000 0
row "" "" "" "" "" "" "" ""

declare -A zero_loss_best=()
for ((run = 1; run <= zero_loss_runs; ++run)); do
  for kind in "${servers[@]}"; do
    zero_loss "$kind" "${zero_loss_steps[@]}"
    zero_loss_best[$kind]+="$best "
  done
done
run=1
zero_loss old "${old_steps[@]}"
zero_loss_best[old]=$best
spread() { tr ' ' '\n' <<<"$1" | grep . | sort -n | awk '{ v[NR] = $1 } END { printf "%s / %s / %s", v[1], v[int((NR + 1) / 2)], v[NR] }'; }

# What lies under the daemon's CPU per event, in two parts that add up: its store alone (storing the
# same mix, decoded beforehand, no network) three times, and its listener alone at 100,000/s (the
# kernel's work, the read calls and the decoding).
stage_notes=()
store_runs=
for ((i = 0; i < 3; ++i)); do
  dir=$(mktemp -d "$work/store.XXXX")
  out=$("$stagecost" --store "$dir/systemlog.db" --count "$steady_count")
  store_runs+="$(sed -E 's/.*cpu_us=([0-9.]+).*/\1/' <<<"$out") "
  rm -rf "$dir"
done
stage_notes+=("the store alone ($steady_count decoded events of the mix, three runs, min / median / max): $(spread "$store_runs") us per event")
server_port=$("$loadgen" --free-port)
"$stagecost" --receive "$server_port" --count "$steady_count" >"$work/receive" &
receiver=$!
pids+=("$receiver")
wait_for_port "$server_port" tevrikstagecost
send "$steady_count" 100000
wait "$receiver" || true
stage_notes+=("receiving and decoding alone at 100,000/s: $(sed -E 's/datagrams=([0-9]+) cpu_us=([0-9.]+).*/\2 us per datagram (\1 of '"$sent"' received)/' "$work/receive")")
# And what the rows per statement, the schema's time index and AUTOINCREMENT cost SQLite alone, per row.
dir=$(mktemp -d "$work/schema.XXXX")
while IFS= read -r line; do stage_notes+=("SQLite alone, $line"); done < <("$schemacost" "$dir" "$steady_count")
rm -rf "$dir"
# The store alone with the times out of order as in the scenario above, against its cost in order.
dir=$(mktemp -d "$work/store.XXXX")
out=$("$stagecost" --store "$dir/systemlog.db" --count "$steady_count" --spread-ms 4000)
stage_notes+=("the store alone with times 0 to 4 s out of order: $(sed -E 's/.*cpu_us=([0-9.]+).*/\1/' <<<"$out") us per event")
rm -rf "$dir"
# What making every stored text valid UTF-8 costs the store, per event of the mix.
stage_notes+=("$("$textcost" "$steady_count")")

# Scale curve: one server per size, the rates in turn; rows stored per CPU-second of the server.
# A cell sends at most 1 GiB, so that the large sizes stay within the disk's and the time's bounds.
scale_data=$results/scale.dat
printf '# server size_bytes rate_asked rate_sent sent stored cpu_seconds rows_per_cpu_second\n' >"$scale_data"
scale_rows=()
for kind in "${servers[@]}"; do
  for size in "${scale_sizes[@]}"; do
    start_server "$kind"
    total=0
    for pace in "${scale_rates[@]}"; do
      count=$((pace * scale_seconds))
      ((count > 1073741824 / size)) && count=$((1073741824 / size))
      before_ns=$(cpu_ns)
      send "$count" "$pace" --size "$size" --seconds $((scale_seconds + 2))
      got=$(wait_stored $((total + sent)))
      cpu=$(($(cpu_ns) - before_ns))
      new_rows=$((got - total))
      total=$got
      per_cpu=$(awk -v n="$new_rows" -v c="$cpu" 'BEGIN { printf "%.0f", (c > 0 ? n / (c / 1e9) : 0) }')
      printf '%s %s %s %s %s %s %.3f %s\n' "$kind" "$size" "$pace" "$rate" "$sent" "$new_rows" \
        "$(awk -v c="$cpu" 'BEGIN { print c / 1e9 }')" "$per_cpu" >>"$scale_data"
      scale_rows+=("$(printf '%-8s %8s %8s %9s %9s %9s %14s' "$(label_of "$kind")" "$size" "$pace" "$rate" "$sent" \
        "$new_rows" "$per_cpu")")
    done
    stop_server
  done
done
if command -v gnuplot >/dev/null; then
  bash "$repo/bench/plot-scale.sh" "$scale_data" "$results/scale.png" || echo "the plot failed" >&2
fi

# Sender start-up: median wall time of one run, the three programs taking turns.
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

{
  printf "$format\n" scenario sent stored lost "sent/s" "CPU us" "p99/max ms (n)" "peak RSS"
  printf '%s\n' "${rows[@]}"
  echo "CPU us: user and system time of the server per stored event; p99/max: from sending a probe to its row"
  echo "(or line) being visible, n probes seen. Peak RSS: the daemon's VmHWM."
  echo
  printf 'highest zero-loss rate, %s run(s) of %s s steps (%s), min / median / max:\n' "$zero_loss_runs" \
    "$step_seconds" "${zero_loss_steps[*]}"
  for kind in "${servers[@]}"; do
    printf '  %-10s %s   runs: %s\n' "$(label_of "$kind")" "$(spread "${zero_loss_best[$kind]}")" "${zero_loss_best[$kind]}"
  done
  printf '  %-10s %s (steps %s)\n' "old design" "${zero_loss_best[old]}" "${old_steps[*]}"
  printf '  %s\n' "${notes[@]}"
  echo
  echo "the generator alone (into a socket nobody reads): ${generator_notes[*]}"
  echo
  printf '%s\n' "${stage_notes[@]}"
  echo
  printf '%s\n' "${rss_notes[@]}"
  echo
  printf '%-8s %8s %8s %9s %9s %9s %14s\n' server "size B" "asked/s" "sent/s" sent stored "rows/CPU-s"
  printf '%s\n' "${scale_rows[@]}"
  echo
  awk -v s="$(median sender)" -v f="$(median floor)" -v l="$(median logger)" 'BEGIN {
    printf "sender start-up, median of 101 runs: tevriklogevent %.2f ms, floor %.2f ms (ratio %.2f)", s / 1000, f / 1000, s / f
    if (l != "") printf ", logger %.2f ms", l / 1000
    print ""
  }'
} | tee "$results/table.txt"
