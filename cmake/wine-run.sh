#!/usr/bin/env bash
# Runs one Windows executable under Wine with the project's own prefix, kept inside the
# build folder so that tests never touch the user's ~/.wine. The prefix is made on first use
# (under a lock, since CTest may start several tests at once): a copy of QVL_WINE_TEMPLATE
# where that names a prefix (each test suite gets a fresh copy of one made by the test
# command), else made by wineboot. A persistent wineserver keeps every later start fast.
# QVL_WINE_LOADER names Wine's loader where it is not the usual one (the 64-bit build runs
# under Wine's 64-bit loader).
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
        if [ -n "${QVL_WINE_TEMPLATE:-}" ] && [ -f "$QVL_WINE_TEMPLATE/system.reg" ]; then
            # Wine's own DLLs (hundreds of megabytes, never written to) are hard links; the
            # registry and everything a program may write are copies of their own.
            rm -rf "$WINEPREFIX" && mkdir -p "$WINEPREFIX" &&
                (cd "$QVL_WINE_TEMPLATE" && tar -cf - --exclude=./drive_c/windows/system32 \
                     --exclude=./drive_c/windows/syswow64 .) | (cd "$WINEPREFIX" && tar -xf -)
            for dlls in system32 syswow64; do
                [ -d "$QVL_WINE_TEMPLATE/drive_c/windows/$dlls" ] &&
                    cp -al "$QVL_WINE_TEMPLATE/drive_c/windows/$dlls" "$WINEPREFIX/drive_c/windows/"
            done
        else
            "$loader" wineboot -i >/dev/null 2>&1   # returns once the prefix is ready
            # The session that made the prefix starts a further services.exe with every
            # process, each one a service manager of its own: a service one registers, the
            # next does not know ("Service does not exist"). Later sessions start one, so
            # that session ends here (by itself, its registry written; ended if it hangs).
            timeout 60 wineserver -w >/dev/null 2>&1 || wineserver -k >/dev/null 2>&1
        fi
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
