#!/usr/bin/env bash
# Proves that the suites leave the machine alone. Before the suites, the test command starts
# two bystanders outside them: a job starter named QVLJOBSTR_ORACLE.EXE, and an un-numbered
# controller serving the machine's own pipe \\.\pipe\qvljobctl (which that job starter
# heartbeats). Afterwards both must still be there and the controller must still answer
# qvlping. The bystander controller has a KILL of its own that ends nothing and a settings
# file naming MySQL, so it never ends or starts a process of the machine itself.
#   bystanders.sh start DIR BIN    BIN: the native build's bin folder
#   bystanders.sh check DIR BIN    prints "passed", "skipped: REASON" or "failed: REASON"
#   bystanders.sh stop DIR
set -u
action=$1 dir=$2 bin=${3:-}
isolate=$(dirname "$0")/isolate.sh

case "$action" in
start)
    rm -rf "$dir" && mkdir -p "$dir"
    # The suites are isolated only where isolate.sh can make namespaces.
    if ! bash "$isolate" sh -c '[ "${QVL_TEST_NAMESPACE:-}" = 1 ]' 2>/dev/null; then
        echo "no PID and network namespaces for the suites" >"$dir/skipped"; exit 0
    fi
    if "$bin/qvlping" --timeout 500 >/dev/null 2>&1; then
        echo "a controller of the machine already serves \\\\.\\pipe\\qvljobctl" >"$dir/skipped"
        exit 0
    fi
    cp "$bin/qvljobctl" "$dir/"
    cp "$bin/qvljobstr_sample" "$dir/QVLJOBSTR_ORACLE.EXE"
    printf '#!/bin/sh\nexit 0\n' >"$dir/KILL" && chmod +x "$dir/KILL"
    "$bin/qvlcrypt" record DB 0 DB_SYSTEM MySQL >"$dir/QUARVELIN.INI"
    (cd "$dir" && exec ./qvljobctl -debug >controller.out 2>&1) &
    echo $! >"$dir/controller.pid"
    (cd "$dir" && QVLJOBSTR_EVERY=2 exec ./QVLJOBSTR_ORACLE.EXE >job_starter.out 2>&1) &
    echo $! >"$dir/job_starter.pid"
    for _ in $(seq 1 100); do
        "$bin/qvlping" --timeout 500 >/dev/null 2>&1 && exit 0
        sleep 0.1
    done
    echo "the bystander controller never answered" >"$dir/failed" ;;
check)
    if [ -f "$dir/skipped" ]; then echo "skipped: $(cat "$dir/skipped")"; exit 0; fi
    why=""
    [ -f "$dir/failed" ] && why="$(cat "$dir/failed"); "
    pid=$(cat "$dir/job_starter.pid")
    [ "$(readlink "/proc/$pid/exe")" = "$(cd "$dir" && pwd)/QVLJOBSTR_ORACLE.EXE" ] ||
        why="${why}the job starter QVLJOBSTR_ORACLE.EXE started outside the suites was ended; "
    kill -0 "$(cat "$dir/controller.pid")" 2>/dev/null ||
        why="${why}the controller started outside the suites has ended; "
    "$bin/qvlping" --timeout 2000 >/dev/null 2>&1 ||
        why="${why}\\\\.\\pipe\\qvljobctl no longer answers qvlping; "
    if [ -z "$why" ]; then echo passed; else echo "failed: $why"; fi ;;
stop)
    for f in controller job_starter; do
        [ -f "$dir/$f.pid" ] && kill -INT "$(cat "$dir/$f.pid")" 2>/dev/null
    done
    sleep 0.5
    [ -f "$dir/job_starter.pid" ] && kill -9 "$(cat "$dir/job_starter.pid")" 2>/dev/null
    true ;;
esac
