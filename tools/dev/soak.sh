#!/usr/bin/env bash
# Soak and storm run of the native controller (not part of the test command):
#   tools/dev/soak.sh [MINUTES] [--win32]  (default 30; --win32: the Windows build under Wine)
# The controller (the test build's short-heartbeat console run, so that restarts happen)
# serves the sample job starter heartbeating every second, while in one minute of every five
# 50 clients connect as fast as they can. Samples descriptors and resident memory every
# 30 s; at the end checks that the controller is alive, stops cleanly on SIGINT, and that
# every log line is whole.
set -u
cd "${QVL_ROOT:-$(dirname "$0")/../..}"  # QVL_ROOT: when run from a copy
minutes=${1:-30}
# Just under the job starter's 1 s period, so that silences long enough for a restart occur.
timeout_ms=${QVL_SOAK_TIMEOUT_MS:-950}
bin=build/native/bin run="" x="" controller=QVLJOBCTL kill=KILL
if [ "${2:-}" = --win32 ]; then
    bin=build/win32/bin run=$(pwd)/cmake/wine-run.sh x=.exe controller=QVLJOBCTL.EXE kill=KILL.EXE
    export WINEPREFIX=$(pwd)/build/win32/wineprefix WINEDEBUG=-all
fi
for f in test_controller qvlping qvljobstr_sample qvlcrypt; do
    [ -f "$bin/$f$x" ] || { echo "build the preset first ($bin/$f$x missing)"; exit 1; }
done
dir=$(mktemp -d /tmp/qvlsoak.XXXXXX)
cp "$bin/test_controller$x" "$dir/$controller"
cp "$bin/$kill" "$dir/"
cp "$bin/qvljobstr_sample$x" "$dir/QVLJOBSTR_ORACLE.EXE"
$run "$bin/qvlcrypt$x" record DB 0 DB_SYSTEM Oracle | tr -d '\r' >"$dir/QUARVELIN.INI"
instance=77
(cd "$dir" && QVLJOBSTR_EVERY=1 exec $run ./$controller $timeout_ms QUARVELIN_JOB_CONTROLLER$instance >"$dir/console.txt" 2>&1) &
pid=$!
sleep 5
# Under Wine the controller is the Wine process running QVLJOBCTL.EXE.
[ -n "$run" ] && pid=$(pgrep -f "$controller $timeout_ms QUARVELIN_JOB_CONTROLLER$instance" | tail -1)
sample() { echo "$(date +%T) fds $(ls /proc/$pid/fd | wc -l) rss_kib $(awk '/VmRSS/{print $2}' /proc/$pid/status)"; }
storm() {
    local until=$((SECONDS + 60)) i clients=()
    for i in $(seq 1 50); do
        (n=0; while [ $SECONDS -lt $until ]; do $run "$bin/qvlping$x" --instance $instance --timeout 5000 >/dev/null 2>&1 && n=$((n+1)); done; echo "$n" >"$dir/storm.$i") &
        clients+=($!)
    done
    wait "${clients[@]}"  # not the controller, which runs in the background too
    cat "$dir"/storm.* | awk '{s+=$1} END {print "storm heartbeats answered: " s}'
    rm -f "$dir"/storm.*
}
echo "start: $(sample)"
start=$SECONDS
next_storm=$SECONDS
while [ $((SECONDS - start)) -lt $((minutes * 60)) ]; do
    kill -0 $pid 2>/dev/null || { echo "CONTROLLER DIED"; break; }
    if [ $SECONDS -ge $next_storm ]; then
        echo "$(date +%T) storm of 50 clients for 60 s"
        storm
        next_storm=$((next_storm + 300))
    fi
    sleep 30
    echo "$(sample)"
done
echo "end: $(sample)"
kill -INT $pid
for _ in $(seq 1 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
wait 2>/dev/null
kill -0 $pid 2>/dev/null && echo "controller still running after Ctrl+C" || echo "controller ended after Ctrl+C"
(cd "$dir" && $run ./$kill QVLJOBSTR_ORACLE.EXE >/dev/null)
log="$dir/QVLJOBCTL.LOG"
echo "log lines: $(wc -l <"$log"), malformed: $(grep -cvaE '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}  .*'$'\r''$' "$log")"
echo "restarts (antwortet nicht): $(grep -c 'antwortet nicht' "$log"), KILL lines: $(grep -c 'Prozess KILL' "$log"), job starter starts: $(grep 'Prozess QVLJOBSTR' "$log" | grep -vc 'antwortet nicht')"
echo "last two lines:"; tail -2 "$log"
rm -rf "$dir"
