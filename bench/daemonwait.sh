# Sourced by the benchmarks that start a daemon.

# wait_for_tables DB: until a daemon just started has made its tables in DB, at most 20 s.
wait_for_tables() {
  local deadline=$((SECONDS + 20))
  until [[ $(sqlite3 "$1" "SELECT count(*) FROM sqlite_master WHERE name = 'generic'" 2>/dev/null) == 1 ]]; do
    ((SECONDS < deadline)) || { echo "the daemon did not start" >&2; exit 1; }
    sleep 0.1
  done
}
