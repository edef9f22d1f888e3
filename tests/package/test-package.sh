#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine, runs the installed daemon
# as its systemd unit would (systemd need not be running), logs events with the
# installed sender, checks them in the database, then purges the package and checks
# that it left nothing behind. Needs root; changes the machine's packages.
#
# Usage: test-package.sh [BUILD_DIR]
#   BUILD_DIR  a build directory configured with -DCMAKE_INSTALL_PREFIX=/usr; it is
#              brought up to date. Without it a fresh one is made and removed again.
#
# The installed configuration listens on port 7777; the daemon is started with the
# unit's command line plus "-p PORT", PORT a UDP port that was free a moment before.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
package=tevriksystemlog
service_user=tevriksystemlog
config=/etc/tevriksystemlog/tevriksystemlog.conf
dbdir=/var/log/tevriksystemlog
db=$dbdir/systemlog.db
wants_link=/etc/systemd/system/multi-user.target.wants/$package.service
collect_user=tevriklogcollect
collect_wants_link=/etc/systemd/system/multi-user.target.wants/tevriklogcollect.service
statedir=/var/lib/tevriksystemlog
statefile=$statedir/collect.state
journal_remote=/lib/systemd/systemd-journal-remote
dsh_state=/var/lib/systemd/deb-systemd-helper-enabled
dsh_masked=/var/lib/systemd/deb-systemd-helper-masked
apt_options=(-y -q -o DPkg::Lock::Timeout=120)
export DEBIAN_FRONTEND=noninteractive

passed=0
work=$(mktemp -d)
# Where the collector's user, which cannot enter $work, finds the test journal.
collect_work=$(mktemp -d)
build=
own_build=
daemon_pid=
installed_by_us=
# The node exporter's directory for text files, made by the test when its package is not installed.
metrics_dir=/var/lib/prometheus/node-exporter
made_metrics_dir=

note() { echo "== $*"; }
pass() { passed=$((passed + 1)); echo "ok $passed - $*"; }
fail() {
    echo "FAIL - $*" >&2
    echo "package: $passed passed, 1 failed"
    exit 1
}
check() {
    local description=$1
    shift
    if "$@"; then pass "$description"; else fail "$description"; fi
}

# A process that has ended stays a zombie until it is reaped: count it as gone.
alive() {
    local state
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

udp_port_bound() {
    local hex
    hex=$(printf ':%04X' "$1")
    awk -v suffix="$hex" 'FNR > 1 && substr($2, length($2) - 4) == suffix { found = 1 } END { exit !found }' \
        /proc/net/udp /proc/net/udp6 2>/dev/null
}

# Polls "$@" every 0.1 s until it succeeds or the deadline (seconds) passes.
wait_until() {
    local deadline=$(($(date +%s) + $1))
    shift
    until "$@"; do
        [ "$(date +%s)" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

daemon_listens() { alive "$daemon_pid" && udp_port_bound "$port"; }
daemon_gone() { ! alive "$daemon_pid"; }
daemon_settled() { daemon_listens || daemon_gone; }

query() { sqlite3 -batch -cmd '.timeout 2000' "$db" "$1" 2>/dev/null; }
row_count_is() { [ "$(query "$1")" = "$2" ]; }

cleanup() {
    if [ -n "$daemon_pid" ] && alive "$daemon_pid"; then
        kill -KILL "$daemon_pid" 2>/dev/null || true
    fi
    if [ -n "$installed_by_us" ] && dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q installed; then
        apt-get purge "${apt_options[@]}" "$package" >/dev/null 2>&1 || true
    fi
    if [ -n "$made_metrics_dir" ]; then
        rm -f "$metrics_dir"/tevrik*.prom
        rmdir "$metrics_dir" 2>/dev/null || true
        rmdir /var/lib/prometheus 2>/dev/null || true
    fi
    [ -n "$own_build" ] && rm -rf "$own_build"
    rm -rf "$work" "$collect_work"
}
trap cleanup EXIT

[ "$(id -u)" -eq 0 ] || fail "must run as root (installs and purges a package)"
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
    fail "$package is already installed on this machine; purge it before the test"
fi

note "building the package"
if [ $# -ge 1 ]; then
    build=$(cd "$1" && pwd)
    grep -qx 'CMAKE_INSTALL_PREFIX:PATH=/usr' "$build/CMakeCache.txt" ||
        fail "$build is not configured with -DCMAKE_INSTALL_PREFIX=/usr"
else
    own_build=$(mktemp -d)
    build=$own_build
    cmake -S "$source_dir" -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DTEVRIK_BUILD_TESTS=OFF \
        -DTEVRIK_WERROR=ON >"$work/configure.log" || { cat "$work/configure.log"; fail "configure"; }
fi
cmake --build "$build" -j2 >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log"; fail "build"; }
rm -f "$build/$package"_*.deb
(cd "$build" && cpack -G DEB) >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack -G DEB"; }
debs=("$build/$package"_*.deb)
check "cpack made one package: $(basename "${debs[0]}")" test ${#debs[@]} -eq 1 -a -f "${debs[0]}"
deb=${debs[0]}

depends=$(dpkg-deb -f "$deb" Depends)
echo "   Depends: $depends"
for dependency in libqt5core5a libqt5network5 libqt5sql5 libqt5sql5-sqlite 'libprotobuf[0-9]'; do
    check "the package depends on $dependency" grep -Eq "(^|, )$dependency" <<<"$depends"
done
check "the configuration is a conffile" \
    bash -c "dpkg-deb --ctrl-tarfile '$deb' | tar -xOf - ./conffiles | grep -qx '$config'"

# Paths of the package that did not exist before; all of them must be gone after the purge.
dpkg-deb -c "$deb" | awk '{ print substr($6, 2) }' | sed 's#/$##' | grep -v '^$' >"$work/contents"
: >"$work/new-paths"
while read -r path; do
    [ -e "$path" ] || [ -L "$path" ] || echo "$path" >>"$work/new-paths"
done <"$work/contents"

note "installing $(basename "$deb")"
installed_by_us=1
apt-get install "${apt_options[@]}" "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "apt-get install"; }
check "dpkg reports the package installed" \
    bash -c "dpkg-query -W -f='\${Status}' $package | grep -qx 'install ok installed'"
check "dpkg registers the configuration as conffile" \
    bash -c "dpkg-query -W -f='\${Conffiles}' $package | grep -q ' $config '"
check "the configuration holds address=127.0.0.1, port=7777 and the database path" \
    bash -c "grep -qx 'address=127.0.0.1' $config && grep -qx 'port=7777' $config && grep -qx 'dbpath=$db' $config"

unit=$(dpkg-query -L "$package" | grep "/systemd/system/$package.service$")
check "the unit is installed at $unit" test -f "$unit"
check "the unit is enabled (multi-user.target.wants)" test -L "$wants_link"
check "the receive buffer cap is raised for the unprivileged daemon" \
    grep -qx 'net.core.rmem_max = 100663296' /usr/lib/sysctl.d/60-tevriksystemlog.conf
check "systemd-analyze verify accepts the installed unit" systemd-analyze verify "$unit"
check "the unit waits for the daemon's readiness (Type=notify, from the main process)" \
    bash -c "grep -qx 'Type=notify' '$unit' && grep -qx 'NotifyAccess=main' '$unit'"
check "the unit has a watchdog" grep -Eqx 'WatchdogSec=[1-9][0-9]*s' "$unit"
collect_unit=$(dpkg-query -L "$package" | grep "/systemd/system/tevriklogcollect.service$")
check "the collector's unit is installed beside the daemon's, at $collect_unit" \
    test "$(dirname "$collect_unit")" = "$(dirname "$unit")" -a -f "$collect_unit"
check "the collector's unit is enabled (multi-user.target.wants)" test -L "$collect_wants_link"
check "systemd-analyze verify accepts the collector's unit" systemd-analyze verify "$collect_unit"
check "the collector's unit runs as $collect_user with $statedir as its state directory" \
    bash -c "grep -qx 'User=$collect_user' '$collect_unit' && grep -qx 'StateDirectory=${statedir#/var/lib/}' '$collect_unit'"
check "the collector's user $collect_user is in the group systemd-journal" \
    bash -c "id -nG $collect_user | tr ' ' '\n' | grep -qx systemd-journal"
check "$statedir belongs to $collect_user with mode 750" \
    test "$(stat -c '%U:%G %a' "$statedir")" = "$collect_user:$collect_user 750"
check "the service user $service_user exists" bash -c "getent passwd $service_user >/dev/null"
check "$dbdir belongs to $service_user with mode 750" \
    test "$(stat -c '%U:%G %a' "$dbdir")" = "$service_user:$service_user 750"
check "man finds and renders tevriksystemlog(8)" \
    bash -c "MANPAGER=cat man 8 tevriksystemlog 2>/dev/null | grep -q 'EXIT STATUS'"
check "man finds and renders tevriklogevent(1)" \
    bash -c "MANPAGER=cat man 1 tevriklogevent 2>/dev/null | grep -q 'MESSAGE TYPES'"
check "man finds and renders tevriklog(1)" \
    bash -c "MANPAGER=cat man 1 tevriklog 2>/dev/null | grep -q 'FIELDS'"
check "man finds and renders tevriklogcollect(8)" \
    bash -c "MANPAGER=cat man 8 tevriklogcollect 2>/dev/null | grep -q 'WHAT IT SENDS'"

# Runs the installed completion for a command line whose last word is being completed.
complete_words() {
    bash -c '
        source /usr/share/bash-completion/bash_completion
        source "/usr/share/bash-completion/completions/$1"
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
        COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
        "_$1"; echo "${COMPREPLY[*]}"' complete "$@"
}
check "completion offers machineconfig after tevriklogevent -t ma" \
    test "$(complete_words tevriklogevent -t ma)" = machineconfig
check "completion offers --configfile for tevriksystemlog --c" \
    test "$(complete_words tevriksystemlog --c)" = --configfile
check "completion offers sysload after tevriklog -t sy" test "$(complete_words tevriklog -t sy)" = sysload
check "completion offers short-iso after tevriklog -o short-" \
    test "$(complete_words tevriklog -o short-)" = short-iso
check "completion offers the columns of the type given for tevriklog -t reboot -M i" \
    test "$(complete_words tevriklog -t reboot -M i)" = issuer=
check "completion offers hostname for tevriklog --master -F h" \
    test "$(complete_words tevriklog --master x -t generic -F h)" = hostname
check "completion offers --convert-master for tevriklogforward --conv" \
    test "$(complete_words tevriklogforward --conv)" = --convert-master
check "completion offers --once for tevriklogcollect --on" test "$(complete_words tevriklogcollect --on)" = --once

note "handing the node exporter's directory for text files to the service user"
if [ ! -d "$metrics_dir" ]; then
    # As prometheus-node-exporter's package makes it; that activates the package's trigger, as here.
    made_metrics_dir=1
    install -d -m 0755 "$metrics_dir"
    dpkg-trigger --no-await "$metrics_dir"
    dpkg --triggers-only --pending >"$work/trigger.log" 2>&1 || { cat "$work/trigger.log"; fail "dpkg --triggers-only"; }
fi
check "$metrics_dir is writable by the group $service_user" \
    test "$(stat -c '%G %a' "$metrics_dir")" = "$service_user 775"
check "the unit may write to $metrics_dir" grep -qx "ReadWritePaths=-$metrics_dir" "$unit"
check "the configuration names $metrics_dir, commented out" grep -qx ";metricsdir=$metrics_dir" "$config"
sed -i "s|^;metricsdir=|metricsdir=|" "$config"

note "running the installed daemon as the unit would"
read -ra command <<<"$(sed -n 's/^ExecStart=//p' "$unit")"
unit_user=$(sed -n 's/^User=//p' "$unit")
unit_umask=$(sed -n 's/^UMask=//p' "$unit")
check "the unit runs as $service_user" test "$unit_user" = "$service_user"
for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    udp_port_bound "$port" && continue
    echo "   ${command[*]} -p $port (as $unit_user, umask $unit_umask)"
    (umask "$unit_umask" && exec setpriv --reuid="$unit_user" --regid="$unit_user" --init-groups --no-new-privs \
        -- "${command[@]}" -p "$port") 2>"$work/daemon.err" &
    daemon_pid=$!
    wait_until 30 daemon_settled || true
    daemon_listens && break
    kill -KILL "$daemon_pid" 2>/dev/null || true
    status=0
    wait "$daemon_pid" || status=$?
    daemon_pid=
    echo "   the daemon ended with status $status:"
    sed 's/^/   | /' "$work/daemon.err"
    # Only a port that another program took meanwhile is worth another try.
    udp_port_bound "$port" || break
done
check "the daemon listens on 127.0.0.1 port $port" test -n "$daemon_pid"

issuer="package-test-$$"
before_ms=$(($(date +%s%N) / 1000000))
check "tevriklogevent sends a reboot event (status 0)" tevriklogevent -p "$port" -t reboot -m "$issuer"
check "tevriklogevent sends a specfile event (status 0)" \
    tevriklogevent -p "$port" -t specfile -m "$issuer" -m package.spec
after_ms=$(($(date +%s%N) / 1000000))
check "the reboot row appears in $db" \
    wait_until 30 row_count_is "SELECT count(*) FROM reboots WHERE issuer = '$issuer'" 1
check "the specfile row appears with both values" \
    wait_until 30 row_count_is \
    "SELECT count(*) FROM specfile WHERE taskname = '$issuer' AND specfile = 'package.spec'" 1
check "the reboot's time is the send time in milliseconds" row_count_is \
    "SELECT count(*) FROM reboots WHERE issuer = '$issuer' AND time BETWEEN $before_ms AND $after_ms" 1
echo "   $(query "SELECT datetime(time/1000, 'unixepoch') || ' UTC reboot by ' || issuer FROM reboots WHERE issuer = '$issuer'")"
check "tevriklog reads the reboot from the configured database" \
    bash -c "tevriklog -t reboot -M issuer=$issuer | grep -qx '.* reboot issuer=$issuer'"
check "the database belongs to $service_user, mode 640" \
    test "$(stat -c '%U:%G %a' "$db")" = "$service_user:$service_user 640"

note "running the installed collector once as its unit would, on the tests' journal and tree"
# The configuration as installed, but for the daemon's port; the journal readable by the group systemd-journal only.
chmod 0755 "$collect_work"
sed "s/^port=.*/port=$port/" "$config" >"$collect_work/tevriksystemlog.conf"
mkdir "$collect_work/journal"
"$journal_remote" --output="$collect_work/journal/test.journal" - \
    <"$source_dir/tests/collect/data/journal.export" >"$work/journal-remote.log" 2>&1 ||
    { cat "$work/journal-remote.log"; fail "systemd-journal-remote"; }
chgrp systemd-journal "$collect_work/journal/test.journal"
chmod 0640 "$collect_work/journal/test.journal"
# The unit's command line with the copy of the configuration in place of the installed one.
read -ra collect_command <<<"$(sed -n "s|^ExecStart=||; s| -c $config| -c $collect_work/tevriksystemlog.conf|p" "$collect_unit")"
check "the collector's unit reads $config" grep -q "^ExecStart=.* -c $config" "$collect_unit"
echo "   ${collect_command[*]} --once -J JOURNAL --root TREE (as $collect_user)"
collect_status=0
(umask "$(sed -n 's/^UMask=//p' "$collect_unit")" &&
    exec setpriv --reuid="$collect_user" --regid="$collect_user" --init-groups --no-new-privs \
        -- "${collect_command[@]}" --once -J "$collect_work/journal" --root "$source_dir/tests/collect/data/root") \
    2>"$work/collect.err" || collect_status=$?
sed 's/^/   | /' "$work/collect.err"
check "the installed collector's --once ends with status 0" test "$collect_status" -eq 0
check "the daemon stores the three core dumps of the journal" \
    wait_until 30 row_count_is "SELECT count(*) FROM coredumps" 3
check "... and its three boots" wait_until 30 row_count_is "SELECT count(*) FROM reboots WHERE issuer <> '$issuer'" 3
check "the collector kept its place in $statefile, owned by $collect_user" \
    bash -c "test \"\$(stat -c %U '$statefile')\" = $collect_user && head -n 1 '$statefile' | grep -qx 'tevriklogcollect state 1'"

kill -TERM "$daemon_pid"
check "the daemon ends after SIGTERM" wait_until 30 daemon_gone
status=0
wait "$daemon_pid" || status=$?
daemon_pid=
check "the daemon's exit status after SIGTERM is 0" test "$status" -eq 0
check "at -d the daemon wrote only its counters at the stop" \
    grep -Eqx 'Info: "Counters at stop: datagrams received [0-9]+, .*, rows pruned 0"' "$work/daemon.err"
check "... and nothing else" test "$(wc -l <"$work/daemon.err")" -eq 1
prom=$metrics_dir/tevriksystemlog.prom
check "the daemon wrote $prom, readable by all" test "$(stat -c '%U %a' "$prom")" = "$service_user 644"
stored=$(query "SELECT (SELECT count(*) FROM coredumps) + (SELECT count(*) FROM reboots) + (SELECT count(*) FROM watchdog)
    + (SELECT count(*) FROM systemload) + (SELECT count(*) FROM configuration) + (SELECT count(*) FROM specfile)")
check "... with the events stored at the stop ($stored)" grep -qx "tevriksystemlog_events_stored_total $stored" "$prom"
check "... which the Prometheus client's parser reads" /usr/bin/python3 -c '
import sys
from prometheus_client.parser import text_string_to_metric_families
text = open(sys.argv[1]).read()
families = list(text_string_to_metric_families(text))
sys.exit(len(families) != text.count("# TYPE "))' "$prom"

note "reinstalling over a changed configuration"
echo "; changed by the package test" >>"$config"
apt-get install --reinstall "${apt_options[@]}" "$deb" >"$work/reinstall.log" 2>&1 ||
    { cat "$work/reinstall.log"; fail "apt-get install --reinstall"; }
check "the changed configuration survives" grep -qx '; changed by the package test' "$config"
check "no .dpkg-new or .dpkg-dist copy was left" \
    bash -c "! ls /etc/tevriksystemlog/*.dpkg-* >/dev/null 2>&1"
check "the events survive the reinstall" \
    row_count_is "SELECT count(*) FROM reboots WHERE issuer = '$issuer'" 1
check "the unit is still enabled" test -L "$wants_link"
check "the collector's unit is still enabled" test -L "$collect_wants_link"

note "purging"
apt-get purge "${apt_options[@]}" "$package" >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "apt-get purge"; }
installed_by_us=
check "dpkg no longer knows the package" \
    bash -c "! dpkg-query -W -f='\${Status}' $package 2>/dev/null | grep -q installed"
left=()
while read -r path; do
    if [ -e "$path" ] || [ -L "$path" ]; then left+=("$path"); fi
done < <(cat "$work/new-paths"; printf '%s\n' /etc/tevriksystemlog "$dbdir" "$statedir" "$wants_link" \
    "$collect_wants_link" "/etc/systemd/system/$package.service" \
    "$dsh_state/$package.service.dsh-also" "$dsh_state/multi-user.target.wants/$package.service" \
    "$dsh_masked/$package.service" "$dsh_state/tevriklogcollect.service.dsh-also" \
    "$dsh_state/multi-user.target.wants/tevriklogcollect.service" "$dsh_masked/tevriklogcollect.service")
[ ${#left[@]} -eq 0 ] || printf '   left behind: %s\n' "${left[@]}"
check "the purge left none of the package's files, its database, the collector's state or unit state behind" \
    test ${#left[@]} -eq 0
check "the purge removed the metrics file and gave $metrics_dir back to root, mode 755" \
    test ! -e "$prom" -a "$(stat -c '%U:%G %a' "$metrics_dir")" = "root:root 755"

echo "package: $passed passed, 0 failed"
