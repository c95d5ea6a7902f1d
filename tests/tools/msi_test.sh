#!/usr/bin/env bash
# The MSI installed, upgraded and uninstalled for real with Wine's msiexec, in a prefix made
# fresh for it: installed before the suite's settings file (instance 3 registered, not
# started); a start that fails (the installation fails and takes instance 3 back); installed
# into a folder the suite's files already occupy (its settings file and job starter) with
# INSTANCES="3"; upgraded to the MSI of a higher version after an edit of the INI;
# uninstalled. Prints every step with its real output.
#   msi_test.sh BUILD_DIR NEXT_BUILD_DIR RESULT_XML RUNNER
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/result_xml.sh"
build=$1 next=$2 result=$3 runner=$4
msi=$(ls "$build"/package/qvljobctl-*.msi 2>/dev/null | head -1)
newer=$(ls "$next"/package/qvljobctl-*.msi 2>/dev/null | head -1)
skip() {
    echo "skipped: $1"
    write_skipped_xml "$result" Msi InstallUpgradeUninstall "$1"
    exit 0
}
[ -n "$msi" ] || skip "no MSI in $build/package (the target msi makes it)"
[ -n "$newer" ] || skip "no MSI of a higher version in $next/package (the test command builds it)"
# A prefix made fresh for this test by Wine itself at the first call, as on a new server, so
# that the test passes on what the installer does alone, never on what a suite left behind:
# under CTest the suite's own (a copy of the template otherwise, which the suite's end or the
# test command ends even after a time-out), by hand a scratch folder.
if [ -n "${QVL_WINE_TEMPLATE:-}" ] && [ -n "${WINEPREFIX:-}" ]; then
    WINEPREFIX=$WINEPREFIX wineserver -k >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
    scratch=""
else
    scratch=$(mktemp -d)
    export WINEPREFIX="$scratch/prefix"
fi
export WINEDEBUG=-all
unset QVL_WINE_TEMPLATE
trap 'wineserver -k >/dev/null 2>&1; [ -z "$scratch" ] || rm -rf "$scratch"' EXIT
failure=""
fail() { failure="${failure}$1; "; echo "FAILED: $1"; }
win() { "$runner" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
step() { echo "> $*"; win "$@"; }
folder='C:\QVLMSI' unix="$WINEPREFIX/drive_c/QVLMSI"
ctl="$folder\\QVLJOBCTL.EXE"
healthy() {
    for _ in $(seq 1 60); do
        win "$ctl" -status 3 >/dev/null && return 0
        sleep 0.5
    done
    return 1
}
version() { msiinfo export "$1" Property | tr -d '\r' | sed -n 's/^ProductVersion\t//p'; }

# The prefix is made before anything else runs in it (made by two first calls at once, it
# once left an installation waiting for good), then Wine ends its services when the
# prefix's last ordinary process ends: one stays meanwhile.
win cmd /c exit >/dev/null
"$runner" "$build/bin/qvljobstr_sample.exe" --instance qvl-msi-keepalive --every 3600 >/dev/null 2>&1 &
keeper=$!
state() { win sc query QUARVELIN_JOB_CONTROLLER3 | sed -n 's/.*STATE *: *[0-9]* *//p' | tr -d ' '; }

echo "== installed before the suite's settings file: instance 3 registered, not started"
rm -rf "$unix"
mkdir -p "$unix"
cp "$build/bin/qvljobstr_sample.exe" "$unix/QVLJOBSTR_ORACLE.EXE"
step msiexec /i "Z:$msi" /qn "INSTALLDIR=$folder\\" INSTANCES=3 /l*v 'C:\msi.log' ||
    fail "the installation failed"
[ "$(state)" = STOPPED ] || fail "instance 3 is $(state), not registered and stopped"
said() { tr -d '\0\r' <"$WINEPREFIX/drive_c/msi.log" | grep -F "$1"; }  # UTF-16 or not
said "registered but not started: its settings file" || fail "the installer's log does not say why"
step msiexec /x "Z:$msi" /qn || fail "its uninstall failed"

echo "== an installation that fails takes instance 3 back: a start that fails, a refused value"
win "$build/bin/qvlcrypt.exe" record DB 0 DB_SYSTEM Bogus >"$unix/QUARVELIN.INI"
for case in "did not start|" "QVLTIMEOUT=5 is refused|QVLTIMEOUT=5"; do
    reason=${case%%|*} value=${case#*|}
    step msiexec /i "Z:$msi" /qn "INSTALLDIR=$folder\\" INSTANCES=3 $value /l*v 'C:\msi.log' &&
        fail "the installation succeeded ($reason)"
    said "$reason" || fail "the installer's log does not say: $reason"
    [ -z "$(state)" ] || fail "instance 3 is still registered ($(state)) after the failed installation"
    [ ! -f "$unix/QVLJOBCTL.EXE" ] || fail "the failed installation left QVLJOBCTL.EXE"
done

# The suite's own files, there before the controller: its settings file and job starter.
rm -rf "$unix"
mkdir -p "$unix"
win "$build/bin/qvlcrypt.exe" record DB 0 DB_SYSTEM Oracle >"$unix/QUARVELIN.INI"
cp "$build/bin/qvljobstr_sample.exe" "$unix/QVLJOBSTR_ORACLE.EXE"

echo "== install $(version "$msi") with INSTANCES=3, the suite's files there"
mkdir -p "$unix/metrics"
step msiexec /i "Z:$msi" /qn "INSTALLDIR=$folder\\" INSTANCES=3 QVLTIMEOUT=60000 QVLRESTARTONEXIT=1 \
    QVLADOPT=1 "QVLMETRICSDIR=$folder\\metrics\\" || fail "the installation failed"
for line in QVLTIMEOUT=60000 QVLRESTARTONEXIT=1 QVLADOPT=1 'QVLMETRICSDIR=C:\QVLMSI\metrics\'; do
    tr -d '\r' <"$unix/QVLJOBCTL.INI" | grep -qxF "$line" || fail "the INI did not get $line"
done
for f in QVLJOBCTL.EXE KILL.EXE qvlcrypt.exe qvlping.exe qvlinstances.exe QVLJOBCTL.INI \
    OPERATORS-GUIDE.md qvljobctl-rules.yml alertmanager-example.yml qvljobctl-dashboard.json; do
    [ -f "$unix/$f" ] || fail "$f was not installed"
done
[ "$(win "$folder\\qvlinstances.exe" list)" = QUARVELIN_JOB_CONTROLLER3 ] ||
    fail "instance 3 is not registered with the installed controller's quoted path"
healthy || fail "instance 3 is not healthy"
tr -d '\r' <"$unix/QVLJOBCTL.INI" | grep -qx 'QVLLOG=.\\QVLJOBCTL3.LOG' ||
    fail "instance 3 was not given a log of its own"
step "$ctl" -status 3
[ -f "$unix/metrics/qvljobctl3.prom" ] || fail "instance 3 wrote no metrics file into QVLMETRICSDIR"
printf '; edited by the operator\r\n' >>"$unix/QVLJOBCTL.INI"

job_starter() { tr -d '\r' <"$unix/QVLJOBCTL3.STATE" | sed -n 's/^job_starter_pid=//p'; }
for _ in $(seq 1 100); do  # once the first pass has started it
    job=$(job_starter)
    [ "${job:-0}" != 0 ] && break
    sleep 0.1
done

echo "== upgrade to $(version "$newer"), with QVLADOPT=1: the job starter runs on"
step msiexec /i "Z:$newer" /qn "INSTALLDIR=$folder\\" || fail "the upgrade failed"
healthy || fail "instance 3 is not healthy after the upgrade"
[ "$(job_starter)" = "$job" ] || fail "the upgrade did not leave job starter $job running (now $(job_starter))"
tr -d '\r' <"$unix/QVLJOBCTL3.LOG" | grep -q "took over its job starter QVLJOBSTR_ORACLE.EXE 3 (process $job)" ||
    fail "the upgraded controller did not say it took over"
# The downtime, as the log tells it to the second: the old run's end to the take-over.
tr -d '\r' <"$unix/QVLJOBCTL3.LOG" | awk '
    function s(t) { split(t, p, ":"); return p[1] * 3600 + p[2] * 60 + p[3] }
    /wurde beendet/ { stop = s($2) } /took over its job starter/ { took = s($2) }
    END { print "downtime of the upgrade, the old run'"'"'s end to the take-over: " took - stop " s" }'
[ "$(win "$folder\\qvlinstances.exe" list)" = QUARVELIN_JOB_CONTROLLER3 ] ||
    fail "instance 3 is not installed after the upgrade"
healthy || fail "instance 3 does not run after the upgrade"
step "$ctl" -version
[ "$(win "$ctl" -version)" = "qvljobctl $(version "$newer")" ] || fail "the old controller is still there"
grep -q 'edited by the operator' "$unix/QVLJOBCTL.INI" || fail "the operator's INI was replaced"

echo "== uninstall"
step msiexec /x "Z:$newer" /qn || fail "the uninstall failed"
status=$(win sc query QUARVELIN_JOB_CONTROLLER3 | grep -c STATE)
[ "$status" = 0 ] || fail "instance 3 is still installed"
for f in QVLJOBCTL.EXE KILL.EXE qvlinstances.exe; do [ ! -f "$unix/$f" ] || fail "$f is still there"; done
for f in QVLJOBCTL.INI QUARVELIN.INI QVLJOBCTL3.LOG QVLJOBCTL3.STATE; do
    [ -f "$unix/$f" ] || fail "the uninstall took $f"
done
ls "$unix"

kill "$keeper" 2>/dev/null
win "$build/bin/KILL.EXE" QVLJOBSTR_ORACLE.EXE 3 >/dev/null
rm -rf "$unix"
write_result_xml "$result" Msi InstallUpgradeUninstall "$failure"
[ -z "$failure" ] || { echo "FAILED: $failure"; exit 1; }
echo passed
