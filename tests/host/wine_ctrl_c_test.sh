#!/usr/bin/env bash
# The Windows controller's console run under Wine, stopped by a real Ctrl+C: SIGINT to the
# Wine process reaches its console control handler. Run from outside Wine, since a program
# inside Wine cannot press Ctrl+C for another one. Writes its result as GoogleTest XML.
#   wine_ctrl_c_test.sh BIN_DIR RESULT_XML
set -u
. "$(dirname "$0")/../support/result_xml.sh"
bin=$1 result=$2
here=$(cd "$(dirname "$0")/../.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$here/build/win32/wineprefix}" WINEDEBUG=-all
dir=$(mktemp -d)
failure=""
fail() { failure="${failure}$1; "; }
cp "$bin/QVLJOBCTL.EXE" "$bin/KILL.EXE" "$dir/"
cp "$bin/fake_job_starter.exe" "$dir/QVLJOBSTR_ORACLE.EXE"
"$here/cmake/wine-run.sh" "$bin/qvlcrypt.exe" record DB 0 DB_SYSTEM Oracle >"$dir/QUARVELIN.INI"
(cd "$dir" && exec "$here/cmake/wine-run.sh" ./QVLJOBCTL.EXE -debug >"$dir/console.txt" 2>&1) &
controller=$!
# A console run is numbered when its path sorts after the base name, as a Z: path under
# Wine does: the pipe's name is read from the start banner.
ok=""
for _ in $(seq 1 100); do
    instance=$(sed -n 's/.*Pipename        : .*qvljobctl\(.*\)\r$/\1/p' "$dir/QVLJOBCTL.LOG" 2>/dev/null)
    if grep -q Pipename "$dir/QVLJOBCTL.LOG" 2>/dev/null &&
        "$here/cmake/wine-run.sh" "$bin/qvlping.exe" --instance "$instance" --timeout 1000 >/dev/null 2>&1; then
        ok=1
        break
    fi
    sleep 0.1
done
[ -n "$ok" ] || fail "the controller never answered"
kill -INT "$controller"
status=124
for _ in $(seq 1 100); do
    if ! kill -0 "$controller" 2>/dev/null; then wait "$controller"; status=$?; break; fi
    sleep 0.1
done
[ "$status" = 0 ] || fail "exit status $status after Ctrl+C"
grep -q "Stopping QUARVELIN JOB CONTROLLER." "$dir/console.txt" || fail "no stopping line"
tail -c 44 "$dir/QVLJOBCTL.LOG" | grep -q '^  \*\{40\}' || fail "the end banner is not the last line"
grep -q "wurde beendet" "$dir/QVLJOBCTL.LOG" || fail "no end banner"
"$here/cmake/wine-run.sh" "$dir/KILL.EXE" QVLJOBSTR_ORACLE.EXE >/dev/null 2>&1
kill -KILL "$controller" 2>/dev/null
rm -rf "$dir"
write_result_xml "$result" WineConsole CtrlCEndsTheDebugRun "$failure"
[ -z "$failure" ] || { echo "FAILED: $failure"; exit 1; }
echo "passed"
