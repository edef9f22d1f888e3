#!/usr/bin/env bash
# Installs what is missing, builds the daemon, the sender and the collector, writes a local
# configuration if none exists and runs the daemon in the foreground with every diagnostic shown.
# Extra arguments go to the daemon (for example -p 7778).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build"
cmake --build "$build" -j "$(nproc)" --target tevriksystemlog tevriklogevent tevriklogcollect

mkdir -p local
conf=local/tevriksystemlog.conf
if [ ! -f "$conf" ]; then
  cat > "$conf" <<CONF
[General Settings]
address=127.0.0.1
dbpath=$PWD/local/systemlog.db

[Collect]
statefile=$PWD/local/collect.state
CONF
  echo "Wrote $conf"
fi
echo "Database: $(sed -n 's/^dbpath=//p' "$conf")"
exec "$build/daemon/tevriksystemlog" -c "$conf" -d -d -d "$@"
