#!/usr/bin/env bash
# Runs one native test suite in PID and network namespaces of its own, so that it never
# touches the machine around it: KILL by name sees only the suite's processes, and the
# controller's pipe names (abstract sockets, one set per network namespace) are the
# suite's own.   isolate.sh COMMAND [ARG...]
# Inside, QVL_TEST_NAMESPACE=1 tells the tests so. Where no namespace can be made (not
# root and no user namespaces), the command runs without the marker, and the cases that
# would end processes by name or take the controller's pipe names skip themselves.
set -u
if [ "${1:-}" = --inside ]; then
    shift
    ip link set lo up 2>/dev/null
    export QVL_TEST_NAMESPACE=1
    # This shell stays PID 1 of the namespace and reaps the job starters that outlive
    # their controllers; `exec` would leave them as zombies that still seem to run.
    "$@"
    exit $?
fi
namespaces="--pid --net --fork --kill-child --mount-proc"
if [ "$(id -u)" -ne 0 ]; then namespaces="--user --map-current-user $namespaces"; fi
# shellcheck disable=SC2086
if unshare $namespaces true 2>/dev/null; then
    exec unshare $namespaces bash "$0" --inside "$@"
fi
echo "isolate.sh: no PID and network namespaces here; the cases that would end processes" \
    "by name or take the controller's pipe names skip themselves" >&2
exec "$@"
