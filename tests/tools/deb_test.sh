#!/usr/bin/env bash
# The .deb installed, used, upgraded, removed and purged for real with dpkg, inside the
# namespace of systemd_namespace.sh whose /etc, /usr and /var are overlays of the machine's
# (QVL_NAMESPACE_OVERLAY=1), so that dpkg changes nothing of the machine's own; and lintian
# on the package. Prints every step with its real output.
#   deb_test.sh BUILD_DIR NEXT_BUILD_DIR RESULT_XML
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/result_xml.sh"
build=$1 next=$2 result=$3
deb=$(ls "$build"/package/qvljobctl_*.deb 2>/dev/null | head -1)
newer=$(ls "$next"/package/qvljobctl_*.deb 2>/dev/null | head -1)
skip() {
    echo "skipped: $1"
    write_skipped_xml "$result" DebianPackage InstallUpgradeRemovePurge "$1"
    exit 0
}
[ "${QVL_TEST_OVERLAY_ROOT:-0}" = 1 ] || skip "not in a namespace whose /etc, /usr and /var are overlays"
[ -n "$deb" ] || skip "no .deb in $build/package (the target deb makes it)"
[ -n "$newer" ] || skip "no .deb of a higher version in $next/package (the test command builds it)"
failure=""
fail() { failure="${failure}$1; "; echo "FAILED: $1"; }
step() { echo "\$ $*"; "$@" 2>&1 | grep -v '^(Reading database' ; return "${PIPESTATUS[0]}"; }
unit=QUARVELIN_JOB_CONTROLLER3
healthy() {  # waits up to 30 s for -status ${1:-3} to say healthy
    for _ in $(seq 1 60); do
        qvljobctl -status "${1:-3}" >/dev/null 2>&1 && return 0
        sleep 0.5
    done
    return 1
}
version() { dpkg-deb -f "$1" Version; }
job_starter() { sed -n 's/^job_starter_pid=//p' /var/log/qvljobctl/QVLJOBCTL3.STATE; }
# The job starter's heartbeats, one every 50 ms by qvlping, while a step runs: the times of
# those answered go to a file; the longest gap between two of them is the downtime.
beats_start() {
    beats=$(mktemp)
    ( while :; do qvlping --instance 3 --timeout 300 >/dev/null 2>&1 && date +%s%3N >>"$beats"
        sleep 0.05; done ) &
    beating=$!
}
beats_stop() {  # prints the downtime in ms, once a heartbeat was answered after the step
    for _ in $(seq 1 200); do
        [ "$(tail -1 "$beats")" -gt "$1" ] 2>/dev/null && break
        sleep 0.1
    done
    kill "$beating" 2>/dev/null; wait "$beating" 2>/dev/null
    awk 'NR > 1 && $1 - last > gap { gap = $1 - last } { last = $1 } END { print gap + 0 }' "$beats"
    rm -f "$beats"
}

echo "== lintian"
step lintian --fail-on error "$deb" || fail "lintian reports an error"

echo "== install: nothing starts"
step dpkg -i "$deb" || fail "dpkg -i failed"
for f in /usr/lib/qvljobctl/qvljobctl /usr/bin/qvljobctl /etc/qvljobctl/QVLJOBCTL.INI \
    /usr/share/man/man8/qvljobctl.8.gz /var/log/qvljobctl /usr/share/qvljobctl/alertmanager-example.yml \
    /usr/share/qvljobctl/qvljobctl-dashboard.json; do
    [ -e "$f" ] || fail "$f is missing"
done
for p in qvljobctl qvlping qvlcrypt qvlinstances; do
    command -v "$p" >/dev/null || fail "$p is not on the path"
done
[ "$(stat -c %a:%G /var/log/qvljobctl)" = 2751:adm ] ||
    fail "the log folder is $(stat -c %a:%G /var/log/qvljobctl), not 2751:adm"
[ -z "$(ls /etc/systemd/system | grep QUARVELIN)" ] || fail "installing the package made a unit"
grep -nE '[A-Za-z]:\\|\.\\' /etc/qvljobctl/QVLJOBCTL.INI && fail "the packaged INI names Windows paths"

echo "== an instance, installed the way the guide teaches"
/usr/lib/qvljobctl/qvlcrypt record DB 0 DB_SYSTEM Oracle >/etc/qvljobctl/QUARVELIN.INI
cp /usr/lib/qvljobctl/qvljobstr_sample /usr/local/bin/QVLJOBSTR_ORACLE.EXE  # the suite's
step qvljobctl -install 3 || fail "-install 3 failed"
step qvljobctl -check 3 || fail "-check 3 finds a problem in a sound instance"
grep -q '^WatchdogSec=25s$' "/etc/systemd/system/$unit.service" || fail "the unit has no watchdog"
step systemctl start "$unit" || fail "the instance did not start"
healthy || fail "instance 3 is not healthy after its start"
step qvljobctl -status 3
step systemctl status --no-pager "$unit"
systemctl show --property=StatusText --value "$unit" | grep -q "^$unit running: healthy$" ||
    fail "systemctl status does not show the health"
grep -q '^ExecStart="/usr/lib/qvljobctl/qvljobctl"$' "/etc/systemd/system/$unit.service" ||
    fail "the unit does not run the package's controller"
[ "$(stat -c %a /var/log/qvljobctl/QVLJOBCTL.LOG)" = 640 ] || fail "the log is readable by others"
echo '; edited by the operator' >>/etc/qvljobctl/QVLJOBCTL.INI

echo "== an upgrade whose preinst fails: the instance runs again"
broken=$(mktemp -d)
dpkg-deb -R "$newer" "$broken/tree"
printf '#!/bin/sh\nexit 1\n' >"$broken/tree/DEBIAN/preinst"
chmod 0755 "$broken/tree/DEBIAN/preinst"
dpkg-deb -b "$broken/tree" "$broken/broken.deb" >/dev/null
step dpkg -i "$broken/broken.deb" && fail "the broken upgrade succeeded"
rm -rf "$broken"
[ "$(systemctl is-active "$unit")" = active ] || fail "instance 3 stays stopped after the failed upgrade"
healthy || fail "instance 3 is not healthy after the failed upgrade"
[ ! -e /var/lib/qvljobctl/restart-after-upgrade ] || fail "the failed upgrade left its note"
before=$(systemctl show --property=MainPID --value "$unit")
echo "== the operator sets QVLADOPT=1: upgrades and reinstalls leave the job starter running"
echo 'QVLADOPT=1' >>/etc/qvljobctl/QVLJOBCTL.INI
for _ in $(seq 1 100); do  # once the first pass has started it (a healthy start may be under way)
    job=$(job_starter)
    [ "${job:-0}" != 0 ] && break
    sleep 0.1
done

echo "== upgrade to $(version "$newer")"
beats_start
started=$(date +%s%3N)
out=$(step dpkg -i "$newer") || fail "the upgrade failed"
echo "downtime of the upgrade: $(beats_stop "$started") ms"
echo "$out"
echo "$out" | grep -q '^  verdict: the instance can start$' ||
    fail "the upgrade did not show the -check of the instance it starts again"
[ "$(systemctl is-active "$unit")" = active ] || fail "instance 3 does not run after the upgrade"
[ "$(systemctl show --property=MainPID --value "$unit")" != "$before" ] ||
    fail "instance 3 was not restarted by the upgrade"
healthy || fail "instance 3 is not healthy after the upgrade"
step qvljobctl -version
[ "$(qvljobctl -version)" = "qvljobctl $(version "$newer")" ] || fail "the old programs are still there"
grep -q 'edited by the operator' /etc/qvljobctl/QVLJOBCTL.INI || fail "the operator's INI was replaced"
[ "$(job_starter)" = "$job" ] && kill -0 "$job" ||
    fail "the upgrade did not leave job starter $job running (now $(job_starter))"
grep -q "took over its job starter QVLJOBSTR_ORACLE.EXE 3 (process $job)" \
    /var/log/qvljobctl/QVLJOBCTL.LOG || fail "the upgraded controller did not say it took over"

echo "== reinstall of $(version "$newer"): the same job starter runs on"
beats_start
started=$(date +%s%3N)
step dpkg -i "$newer" >/dev/null || fail "the reinstall failed"
echo "downtime of the reinstall: $(beats_stop "$started") ms"
healthy || fail "instance 3 is not healthy after the reinstall"
[ "$(job_starter)" = "$job" ] && kill -0 "$job" ||
    fail "the reinstall did not leave job starter $job running (now $(job_starter))"

echo "== instance 5 under a service account, the way the guide teaches"
useradd --system --no-create-home --shell /usr/sbin/nologin qvl
install -d -o qvl -g adm -m 2751 /var/log/qvljobctl-5
printf '[JOBATR5]\nQVLLOG=/var/log/qvljobctl-5/QVLJOBCTL.LOG\n' >>/etc/qvljobctl/QVLJOBCTL.INI
chgrp qvl /etc/qvljobctl/QUARVELIN.INI && chmod 0640 /etc/qvljobctl/QUARVELIN.INI
step qvljobctl -install 5 || fail "-install 5 failed"
dropin=/etc/systemd/system/QUARVELIN_JOB_CONTROLLER5.service.d
mkdir -p "$dropin" && printf '[Service]\nUser=qvl\n' >"$dropin/override.conf"
systemctl daemon-reload
step systemctl start QUARVELIN_JOB_CONTROLLER5 || fail "instance 5 did not start"
healthy 5 || fail "instance 5 is not healthy after its start"
for _ in $(seq 1 100); do  # once its first pass has started it
    qvl_job=$(sed -n 's/^job_starter_pid=//p' /var/log/qvljobctl-5/QVLJOBCTL5.STATE)
    [ "${qvl_job:-0}" != 0 ] && break
    sleep 0.1
done
[ "$(stat -c %U "/proc/${qvl_job:-0}" 2>/dev/null)" = qvl ] ||
    fail "instance 5's job starter (${qvl_job:-none}) does not run as qvl"

echo "== a monitoring account (nobody) gets root's verdict from -status and -metrics"
nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
verdict() {  # the health line and the exit status of -status $n
    local out code
    out=$("$@" qvljobctl -status "$n" 2>&1); code=$?
    echo "$(echo "$out" | sed -n 's/^  health: *//p') ($code)"
}
gauges() { "$@" qvljobctl -metrics "$n" | grep -E '^qvljobctl_(up|healthy|job_starter_up)\{'; }
for n in 3 5; do
    root_says=$(verdict env)
    nobody_says=$(verdict nobody)
    echo "-status $n: root: $root_says; nobody: $nobody_says"
    [ "$root_says" = "healthy (0)" ] && [ "$nobody_says" = "$root_says" ] ||
        fail "-status $n as nobody differs from root's"
    [ "$(gauges nobody)" = "$(gauges env)" ] && [ -n "$(gauges env)" ] ||
        fail "-metrics $n as nobody differs from root's: $(gauges nobody | tr '\n' ' ')"
done
[ "$(stat -c %a /var/log/qvljobctl/QVLJOBCTL3.STATE)" = 644 ] || fail "the state file is not 0644"
nobody cat /var/log/qvljobctl/QVLJOBCTL.LOG >/dev/null 2>&1 && fail "nobody reads the log"

echo "== remove, with a note an earlier upgrade left and the unit deleted by hand while it runs:"
echo "== the instance goes, the configuration stays"
echo "$unit" >/var/lib/qvljobctl/restart-after-upgrade
controller=$(systemctl show --property=MainPID --value "$unit")
rm "/etc/systemd/system/$unit.service" && systemctl daemon-reload
out=$(step dpkg -r qvljobctl) || fail "dpkg -r failed"
echo "$out"
echo "$out" | grep -q "QUARVELIN_JOB_CONTROLLER5: its job starter QVLJOBSTR_ORACLE.EXE 5 (process $qvl_job of account" ||
    fail "the removal did not end instance 5's job starter under qvl"
echo "$out" | grep -q spared && fail "a removal spoke of a process that was never its target"
kill -0 "$controller" 2>/dev/null && fail "the controller of the deleted unit still runs"
[ ! -e "/etc/systemd/system/$unit.service" ] || fail "instance 3 is still installed"
[ ! -e /usr/lib/qvljobctl/qvljobctl ] || fail "the programs are still there"
pgrep -f QVLJOBSTR_ORACLE.EXE >/dev/null && fail "a job starter still runs: $(pgrep -af QVLJOBSTR)"
[ ! -e "$dropin" ] || fail "instance 5's drop-in folder is left"
systemctl list-units --all --no-legend 'QUARVELIN*' | grep -q . &&
    fail "systemd still lists: $(systemctl list-units --all --no-legend 'QUARVELIN*')"
[ -e /etc/qvljobctl/QVLJOBCTL.INI ] || fail "removing took the configuration"

echo "== purge: what the package made goes, the suite's settings file stays"
out=$(step dpkg -P qvljobctl) || fail "dpkg -P failed"
echo "$out"
[ ! -e /etc/qvljobctl/QVLJOBCTL.INI ] || fail "the package's INI is still there"
[ -e /etc/qvljobctl/QUARVELIN.INI ] || fail "purge took the suite's settings file"
echo "$out" | grep -q "QUARVELIN.INI, the suite's settings file, is kept" || fail "purge did not say so"
[ ! -e /var/log/qvljobctl ] || fail "/var/log/qvljobctl is still there"
rm -rf /etc/qvljobctl

write_result_xml "$result" DebianPackage InstallUpgradeRemovePurge "$failure"
[ -z "$failure" ] || { echo "FAILED: $failure"; exit 1; }
echo passed
