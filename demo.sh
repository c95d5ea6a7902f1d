#!/usr/bin/env bash
# Runs the job controller on a ready-made demo installation in build/demo: the controller in
# console mode, the sample job starter installed as QVLJOBSTR_ORACLE.EXE heartbeating every
# 5 seconds, KILL beside them. Shows the log as it is written and the job starter's replies.
#   ./demo.sh                  until Ctrl+C
#   ./demo.sh --seconds N      ends by itself after N seconds
#   ./demo.sh --win32 ...      the same with the Windows executables under Wine
set -u
cd "$(dirname "$0")"
root=$(pwd)
seconds="" win32=0
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) seconds=${2:?--seconds needs a number}; shift 2 ;;
        --win32) win32=1; shift ;;
        *) echo "usage: ./demo.sh [--seconds N] [--win32]" >&2; exit 2 ;;
    esac
done
. tools/dev/ensure-packages.sh
# Only what this demo builds and runs: the native build, and with --win32 MinGW and Wine.
# shellcheck disable=SC2086
preset=native exe=qvljobctl kill=KILL run=()
if [ "$win32" = 1 ]; then
    # Wine's 32-bit loader may not install where the kernel runs no 32-bit programs.
    ensure_packages $QVL_PACKAGES_NATIVE $QVL_PACKAGES_WIN32 ||
        [ "$QVL_NOT_INSTALLED" = "wine32:i386" ] || exit 1
    . tools/dev/windows-width.sh
    qvl_windows_width
    preset=$QVL_WINDOWS exe=QVLJOBCTL.EXE kill=KILL.EXE run=(wine)
    if [ "$preset" = win64 ]; then
        echo "32-bit Windows programs cannot run here (${QVL_WINE32_WHY%%$'\n'*}): the demo runs the same code built at 64-bit width under Wine's 64-bit loader, as the test command does."
        ensure_packages g++-mingw-w64-x86-64-posix wine64 || exit 1
        export QVL_WINE_LOADER=$QVL_WINE64_LOADER
        run=("$root/cmake/wine-run.sh")
    fi
    export WINEPREFIX="$root/build/$preset/wineprefix" WINEDEBUG=-all
else
    ensure_packages $QVL_PACKAGES_NATIVE || exit 1
fi
echo "== building the $preset preset (once)"
mkdir -p build  # a fresh clone has none: build/ is not kept in git
{ cmake --preset $preset && cmake --build --preset $preset --target qvljobctl qvlcrypt kill_tool sample_job_starter qvlping; } >build/demo-build.log 2>&1 \
    || { tail -20 build/demo-build.log; exit 1; }
bin=build/$preset/bin
[ "$win32" = 1 ] && cmake/wine-run.sh cmd /c exit >/dev/null 2>&1

demo=build/demo
rm -rf "$demo" && mkdir -p "$demo"
cp "$bin/$exe" "$bin/$kill" "$demo/"
cp "$bin/qvljobstr_sample$([ "$win32" = 1 ] && echo .exe)" "$demo/QVLJOBSTR_ORACLE.EXE"
printf '; The demo controller'"'"'s settings (these are the defaults).\r\n[JOBATR]\r\nQVLINI=.\\QUARVELIN.INI\r\nQVLLOG=.\\QVLJOBCTL.LOG\r\n' >"$demo/QVLJOBCTL.INI"
build/native/bin/qvlcrypt record DB 0 DB_SYSTEM Oracle >"$demo/QUARVELIN.INI" 2>/dev/null ||
    "${run[@]}" "$bin/qvlcrypt.exe" record DB 0 DB_SYSTEM Oracle | tr -d '\r' >"$demo/QUARVELIN.INI"
echo "== demo installation in $demo:"; ls "$demo"
echo "== QUARVELIN.INI (the DB_SYSTEM record, written with qvlcrypt record):"; cat "$demo/QUARVELIN.INI"
echo "== starting the controller; the log follows (Ctrl+C ends it)"

: >"$demo/QVLJOBCTL.LOG"
tail -n +1 -f "$demo/QVLJOBCTL.LOG" | sed -u 's/^/LOG  /' &
tailer=$!
program=./$exe
(cd "$demo" && QVLJOBSTR_EVERY=5 exec "${run[@]}" "$program" -debug) &
controller=$!

# Ends the demo's own job starters only, never another installation's of the same name:
# natively those whose executable is the demo's copy; under Wine every process of the
# prefix ends with its wineserver below.
end_demo_job_starters() {
    [ "$win32" = 1 ] && return
    local exe pid
    exe=$(cd "$demo" && pwd)/QVLJOBSTR_ORACLE.EXE
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
        [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$exe" ] && kill "$pid" 2>/dev/null
    done
}

stop() {
    kill -INT "$controller" 2>/dev/null
    wait "$controller" 2>/dev/null
    status=$?
    end_demo_job_starters
    sleep 0.3
    kill "$tailer" 2>/dev/null
    [ "$win32" = 1 ] && wineserver -k >/dev/null 2>&1
    echo "== controller ended with status $status; the demo's job starter is ended too"
    exit "$status"
}
trap stop INT TERM
if [ -n "$seconds" ]; then
    sleep "$seconds"
    "${run[@]}" "$bin/qvlping$([ "$win32" = 1 ] && echo .exe)" && true
    stop
fi
wait "$controller"
stop
