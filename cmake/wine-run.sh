#!/usr/bin/env bash
# Runs one Windows executable under Wine with the project's own prefix, kept inside the
# win32 build folder so that tests never touch the user's ~/.wine. The prefix is made on
# first use (under a lock, since CTest may start several tests at once) and a persistent
# wineserver keeps every later start fast. QVL_WINE_LOADER names Wine's loader where it is
# not the usual one (the 64-bit build runs under Wine's 64-bit loader).
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$here/build/win32/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export DISPLAY=
loader=${QVL_WINE_LOADER:-wine}
[ "$loader" = wine ] || export WINELOADER="$loader"  # what Wine starts child processes with
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec 9>"$WINEPREFIX.lock"
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        "$loader" wineboot -i >/dev/null 2>&1   # returns once the prefix is ready
    fi
    flock -u 9
fi
# When this call starts the (persistent) wineserver, start Wine's own background processes
# (services.exe and friends) from a call whose output goes nowhere: they live as long as the
# server and would otherwise keep the caller's output pipe open, and CTest would wait on it.
if wineserver -p </dev/null >/dev/null 2>&1; then
    "$loader" cmd /c exit </dev/null >/dev/null 2>&1
fi
exec "$loader" "$@"
