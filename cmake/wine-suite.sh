#!/usr/bin/env bash
# Runs one Windows test suite (a test executable through wine-run.sh, or a script that calls
# it) in the prefix WINEPREFIX names, then ends that prefix's wineserver and with it Wine's
# own background processes, so that no suite leaves processes behind that load the machine
# while later suites run.   wine-suite.sh COMMAND [ARG...]
set -u
"$@"
status=$?
wineserver -k >/dev/null 2>&1
exit $status
