# Sourced by the benchmarks that need PostgreSQL: a work directory removed at exit with every process
# in pids, a PostgreSQL 15 server of its own in $work/pg (Unix socket only, as nobody when run as root),
# its processor time, and the wait for a daemon's tables.
source bench/daemonwait.sh
pgbin=/usr/lib/postgresql/15/bin
work=$(mktemp -d)
chmod 755 "$work"
pids=()
as_server=()
if [[ $(id -u) == 0 ]]; then
  as_server=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  "${as_server[@]}" "$pgbin/pg_ctl" -D "$work/pg/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# start_pg_server [SETTING...]: makes and starts the server, each SETTING one more line of postgresql.conf.
start_pg_server() {
  mkdir "$work/pg"
  [[ ${#as_server[@]} -gt 0 ]] && chown nobody:nogroup "$work/pg"
  "${as_server[@]}" "$pgbin/initdb" -D "$work/pg/data" -A trust -E UTF8 -U postgres >/dev/null
  printf "listen_addresses = ''\nunix_socket_directories = '%s'\n" "$work/pg" >>"$work/pg/data/postgresql.conf"
  local setting
  for setting in "$@"; do echo "$setting" >>"$work/pg/data/postgresql.conf"; done
  "${as_server[@]}" "$pgbin/pg_ctl" -D "$work/pg/data" -l "$work/pg/log" -w start >/dev/null
}

# cpu_ms PID...: the processor time that the processes and their ended children have used so far, in ms.
cpu_ms() {
  local pid ticks=0 fields
  for pid in "$@"; do
    read -ra fields <"/proc/$pid/stat" 2>/dev/null || continue
    ticks=$((ticks + fields[13] + fields[14] + fields[15] + fields[16]))
  done
  echo $((ticks * 1000 / $(getconf CLK_TCK)))
}
# The server's processes: the postmaster, whose ended backends count among its children, and those running.
server_pids() { local main; main=$(head -n 1 "$work/pg/data/postmaster.pid"); echo "$main" $(pgrep -P "$main"); }
