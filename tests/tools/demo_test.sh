#!/usr/bin/env bash
# Runs the README's first command as a user would, shortened: ./demo.sh --seconds 8, and
# checks what it shows and that it leaves nothing running.
#   demo_test.sh SOURCE_DIR RESULT_XML
set -u
. "$(dirname "$0")/../support/result_xml.sh"
source_dir=$1 result=$2
failure=""
out=$(cd "$source_dir" && timeout 600 ./demo.sh --seconds 8 2>&1 </dev/null)
rc=$?
[ $rc -eq 0 ] || failure="$failure; exit status $rc"
for want in "LOG  .*  \*\* Service QVLJOBCTL wurde gestartet  \*\*" \
    "LOG  .*  Prozess QVLJOBSTR_ORACLE.EXE" \
    "QVLJOBCTL.EXE Read -> \[JOBSTARTER [0-9]*\]" \
    "LOG  .*  \*\* Service QVLJOBCTL wurde beendet    \*\*" \
    "controller ended with status 0"; do
    printf '%s\n' "$out" | tr -d '\r' | grep -q -- "$want" || failure="$failure; no line like '$want'"
done
sleep 0.5
pgrep -f "QVLJOBSTR_ORACLE.EXE" >/dev/null && failure="$failure; the job starter still runs"
pgrep -f "qvljobctl -debug" >/dev/null && failure="$failure; the controller still runs"
write_result_xml "$result" Demo RunsShowsAndEndsCleanly "$failure"
[ -z "$failure" ] || { printf '%s\n' "$out" | tail -30; echo "FAILED:$failure"; exit 1; }
echo passed
