#!/usr/bin/env bash
# The Windows controller's event-log warnings under Wine. Wine's event log keeps nothing: it
# shows what it is handed only on its debug channel, on the standard error of the process
# that reports. So Wine's background processes (its service manager, and the services it
# starts) are started with that channel on and their output kept; the service test's restart
# for silence must then show there as a warning (type 2) with the message table's event id
# 0x80000100 and its insertion strings. Writes its result as GoogleTest XML.
#   event_log_test.sh BIN_DIR RESULT_XML
set -u
. "$(dirname "$0")/../support/result_xml.sh"
bin=$1 result=$2
here=$(cd "$(dirname "$0")/../.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$here/build/win32/wineprefix}" DISPLAY=
loader=${QVL_WINE_LOADER:-wine}
[ "$loader" = wine ] || export WINELOADER="$loader"
failure=""
fail() { failure="${failure}$1; "; }
log=$(mktemp)
# The prefix as every suite gets it, then Wine's background processes started again with the
# event log's channel on (and the reports' stub notes, which carry type and event id).
"$here/cmake/wine-run.sh" cmd /c exit >/dev/null 2>&1
wineserver -k >/dev/null 2>&1
wineserver -w >/dev/null 2>&1
wineserver -p </dev/null >/dev/null 2>&1
WINEDEBUG=-all,warn+eventlog,fixme+advapi "$loader" cmd /c exit </dev/null >/dev/null 2>"$log"
out=$("$here/cmake/wine-run.sh" "$bin/service_test.exe" \
    --gtest_filter=Service.ARestartReachesTheSystemsLog 2>&1)
echo "$out" | grep -q '^\[  FAILED  \]' && fail "the service test failed: $(echo "$out" | tr '\n' ' ')"
grep -aq 'ReportEventA (.*,0x0002,0x0000,0x80000100,.*,0x0006,' "$log" ||
    fail "no warning with event id 0x80000100 and six insertion strings was reported"
for insert in QUARVELIN_JOB_CONTROLLER5 QVLJOBSTR_ORACLE.EXE "no heartbeat for 1000 ms" unknown; do
    grep -aq "warn:eventlog:ReportEventW L\"$insert\"" "$log" || fail "no insertion string \"$insert\""
done
echo "== the restart's event-log entry, as Wine's debug channel shows it"
grep -a 'ReportEvent\|eventlog' "$log" | head -8
rm -f "$log"
write_result_xml "$result" EventLog RestartIsAWarningOfTheMessageTable "$failure"
[ -z "$failure" ] || { echo "FAILED: $failure"; exit 1; }
echo passed
