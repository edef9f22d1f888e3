#!/usr/bin/env bash
# Runs the built collector once against the tests' journal and tree, with the built daemon storing what it
# sends, and shows the stored events with the built reader. Everything lives in a temporary directory that
# is removed at the end; the daemon listens on 127.0.0.1 on a port that was free a moment before.
#
# Usage: try-collect.sh [BUILD_DIR]   (default: build)
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$source_dir/build}" && pwd)
data=$source_dir/tests/collect/data
remote=$(command -v systemd-journal-remote || echo /lib/systemd/systemd-journal-remote)
work=$(mktemp -d)
daemon_pid=

cleanup() {
    [ -n "$daemon_pid" ] && kill "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/tevriksystemlog.conf" <<CONF
[General Settings]
address=127.0.0.1
port=$port
dbpath=$work/systemlog.db

[Collect]
statefile=$work/collect.state
CONF

mkdir "$work/journal"
"$remote" --output="$work/journal/test.journal" - <"$data/journal.export" 2>/dev/null

"$build/daemon/tevriksystemlog" -c "$work/tevriksystemlog.conf" 2>"$work/daemon.err" &
daemon_pid=$!
for _ in $(seq 100); do
    [ -s "$work/systemlog.db" ] && break
    sleep 0.1
done

echo "\$ tevriklogcollect --once -J JOURNAL --root TREE"
"$build/collect/tevriklogcollect" --once -c "$work/tevriksystemlog.conf" -J "$work/journal" --root "$data/root" -d -d
echo "\$ tevriklogcollect --once -J JOURNAL --root TREE   (again: no journal event twice)"
"$build/collect/tevriklogcollect" --once -c "$work/tevriksystemlog.conf" -J "$work/journal" --root "$data/root" -d -d

# A marker sent last is stored last: once it is there, everything before it is too.
"$build/logevent/tevriklogevent" -p "$port" -t generic -m 1 -m stored -m all
for _ in $(seq 100); do
    [ "$(sqlite3 "$work/systemlog.db" "SELECT count(*) FROM generic" 2>/dev/null)" = 1 ] && break
    sleep 0.1
done
echo "\$ tevriklog"
"$build/logread/tevriklog" -D "$work/systemlog.db" -t coredump -t reboot -t watchdog -t sysload -t machineconfig
