#!/usr/bin/env bash
# Runs a command (the service tests) with a real systemd as its service manager:
#   systemd_namespace.sh RESULT_XML COMMAND [ARG...]
# With QVL_NAMESPACE_OVERLAY=1, /etc, /usr and /var inside are overlays of the machine's, so
# that a package manager run inside (the .deb's test) changes only the overlays.
# systemd is booted as PID 1 of a PID, network, mount, UTS and cgroup namespace of its own,
# and the command runs inside those namespaces. Kept away from the machine itself:
#   - its processes, and the controller's pipe names (abstract sockets, one set per network
#     namespace), are the namespace's own: KILL by name sees nothing of the machine's;
#   - fresh tmpfs on /tmp, /run and /etc/systemd/system inside the namespace: nothing that
#     systemd cleans at boot is the machine's, and no unit file lands on the machine (only
#     the project's own folder is carried over when it lies in /tmp);
#   - /proc/sys read-only inside, so no kernel setting is changed;
#   - its journal is kept in memory on that /run (Storage=volatile), never in the machine's
#     /var/log/journal;
#   - systemd sees only a handful of empty units written at boot (and the journal's) (its unit path is the
#     namespace's /etc/systemd/system alone, with no generators), so booting, and starting
#     a service, runs none of the machine's units;
#   - the namespace's control groups live in a group of our own, removed at the end;
#   - tear-down kills the namespace's PID 1 by its process id, which ends every process in
#     it, then removes the groups.
# Where systemd cannot boot (not root, no unshare, no systemd), RESULT_XML records one
# skipped case with the reason, never a pass.
set -u
here=$(cd "$(dirname "$0")" && pwd)

if [ "${1:-}" = --boot ]; then
    # Inside the new namespaces, before systemd: the mounts described above.
    exec 3>"$2"  # opened before /tmp is covered, wherever the log lives
    set -e
    mount --make-rprivate /
    ip link set lo up 2>/dev/null || true
    mount -t tmpfs -o mode=755 tmpfs /run
    # The project itself (sources, builds, results) stays visible, even when it lies in /tmp:
    # it is set aside on the fresh /run and moved back onto the fresh /tmp.
    project=$4
    case "$project/" in
        /tmp/*)
            mkdir /run/qvl-project && mount --rbind "$project" /run/qvl-project
            mount -t tmpfs -o mode=1777 tmpfs /tmp
            mkdir -p "$project" && mount --move /run/qvl-project "$project"
            rmdir /run/qvl-project ;;
        *) mount -t tmpfs -o mode=1777 tmpfs /tmp ;;
    esac
    if [ "${5:-}" = overlay ]; then
        # What dpkg writes lands in the upper layers, on the namespace's own /run.
        for d in etc usr var; do
            mkdir -p "/run/qvl-overlay/$d/upper" "/run/qvl-overlay/$d/work"
            mount -t overlay overlay -o "lowerdir=/$d,upperdir=/run/qvl-overlay/$d/upper,workdir=/run/qvl-overlay/$d/work" "/$d"
        done
    fi
    mount -t tmpfs -o mode=755 tmpfs /etc/systemd/system
    mount --bind /proc/sys /proc/sys
    mount -o remount,bind,ro /proc/sys
    # A cgroup mount made inside the cgroup namespace is rooted at our own group.
    umount -R /sys/fs/cgroup
    if [ "$3" = unified ]; then
        mount -t cgroup2 cgroup2 /sys/fs/cgroup
    else
        mount -t tmpfs -o mode=755 tmpfs /sys/fs/cgroup
        mkdir /sys/fs/cgroup/systemd /sys/fs/cgroup/unified
        mount -t cgroup -o none,name=systemd cgroup /sys/fs/cgroup/systemd
        mount -t cgroup2 cgroup2 /sys/fs/cgroup/unified
    fi
    # Only the units written here exist for this systemd: none of the machine's, and no
    # generators.
    units=/etc/systemd/system
    unit() { printf '[Unit]\nDescription=%s\nDefaultDependencies=no\n' "$2" >"$units/$1"; }
    unit qvl-test.target "Service tests: the boot target"
    printf 'Wants=systemd-journald.socket systemd-journald.service\n' >>"$units/qvl-test.target"
    # A journal of the namespace's own, kept in memory on its /run, so that the tests read
    # back what services send it.
    printf '[Unit]\nDescription=Journal sockets (the namespace'"'"'s own)\nDefaultDependencies=no\n[Socket]\nListenStream=/run/systemd/journal/stdout\nListenDatagram=/run/systemd/journal/socket\nSocketMode=0666\nPassCredentials=yes\nPassSecurity=yes\nReceiveBuffer=8M\nService=systemd-journald.service\n' \
        >"$units/systemd-journald.socket"
    printf '[Unit]\nDescription=Journal (the namespace'"'"'s own, in memory)\nDefaultDependencies=no\nRequires=systemd-journald.socket\nAfter=systemd-journald.socket\n[Service]\nType=notify\nSockets=systemd-journald.socket\nExecStart=/lib/systemd/systemd-journald\n' \
        >"$units/systemd-journald.service"
    mkdir -p /run/systemd/journald.conf.d
    printf '[Journal]\nStorage=volatile\n' >/run/systemd/journald.conf.d/qvl-test.conf
    # The system bus, as on every installed machine: through it an account other than root
    # asks systemd (systemctl show), as monitoring accounts do.
    if [ -x /usr/bin/dbus-daemon ]; then
        printf 'Wants=dbus.socket\n' >>"$units/qvl-test.target"
        printf '[Unit]\nDescription=System bus socket (the namespace'"'"'s own)\nDefaultDependencies=no\n[Socket]\nListenStream=/run/dbus/system_bus_socket\n' \
            >"$units/dbus.socket"
        printf '[Unit]\nDescription=System bus (the namespace'"'"'s own)\nDefaultDependencies=no\nRequires=dbus.socket\n[Service]\nExecStart=/usr/bin/dbus-daemon --system --address=systemd: --nofork --nopidfile --systemd-activation --syslog-only\n' \
            >"$units/dbus.service"
    fi
    unit sysinit.target "System initialisation (nothing for the service tests)"
    unit basic.target "Basic system (nothing for the service tests)"
    unit multi-user.target "Multi-user system (nothing for the service tests)"
    unit shutdown.target "Shutdown"
    unit system.slice "System slice"
    mkdir /run/qvl-no-generators
    export SYSTEMD_UNIT_PATH=$units SYSTEMD_GENERATOR_PATH=/run/qvl-no-generators
    export container=qvl-test
    exec /lib/systemd/systemd --system --unit=qvl-test.target --log-target=console \
        </dev/null >&3 2>&3 3>&-
fi

result=$1
shift
. "$here/../support/result_xml.sh"
skip() {
    echo "skipped: $1"
    write_skipped_xml "$result" SystemdNamespace ServiceTests "$1"
    exit 0
}

[ "$(id -u)" -eq 0 ] || skip "booting systemd in a namespace needs root"
for tool in unshare nsenter mount; do
    command -v $tool >/dev/null || skip "$tool is not installed"
done
[ -x /lib/systemd/systemd ] || skip "systemd is not installed"

case "$(stat -fc %T /sys/fs/cgroup 2>/dev/null)" in
    cgroup2fs) layout=unified hierarchies=/sys/fs/cgroup ;;
    tmpfs) layout=hybrid hierarchies="/sys/fs/cgroup/systemd /sys/fs/cgroup/unified" ;;
    *) skip "no control group file system at /sys/fs/cgroup" ;;
esac
group=qvl-systemd-test.$$
made=""
for h in $hierarchies; do
    mkdir "$h/$group" 2>/dev/null || skip "cannot create a control group under $h"
    made="$made $h/$group"
done

boot_log=${result%.xml}.boot.log  # systemd's own output, kept for a look after a failure
unshare_pid="" systemd_pid=""
tear_down() {
    [ -n "$systemd_pid" ] && kill -9 "$systemd_pid" 2>/dev/null
    [ -n "$unshare_pid" ] && kill -9 "$unshare_pid" 2>/dev/null
    [ -n "$unshare_pid" ] && wait "$unshare_pid" 2>/dev/null
    local g i
    for g in $made; do
        for i in $(seq 1 50); do
            find "$g" -depth -type d -exec rmdir {} + 2>/dev/null
            [ -d "$g" ] || break
            sleep 0.1
        done
    done
}
trap tear_down EXIT

(
    for g in $made; do echo $BASHPID >"$g/cgroup.procs"; done
    exec unshare --pid --net --fork --mount --uts --cgroup --mount-proc \
        bash "$here/systemd_namespace.sh" --boot "$boot_log" "$layout" "$(cd "$here/../.." && pwd)" \
        "$([ "${QVL_NAMESPACE_OVERLAY:-}" = 1 ] && echo overlay)"
) &
unshare_pid=$!

state=""
for _ in $(seq 1 300); do
    [ -z "$systemd_pid" ] && systemd_pid=$(pgrep -P "$unshare_pid" -x systemd)
    if [ -n "$systemd_pid" ]; then
        state=$(nsenter -t "$systemd_pid" -m -p systemctl is-system-running 2>/dev/null)
        case "$state" in running | degraded) break ;; esac
    fi
    kill -0 "$unshare_pid" 2>/dev/null || break
    sleep 0.1
done
case "$state" in
    running | degraded) ;;
    *) skip "systemd did not boot (state '${state:-none}'): $(tail -3 "$boot_log" | tr '\n<>&' '    ')" ;;
esac

echo "systemd booted in its own namespaces (PID $systemd_pid here), state $state"
# The markers let the tests use this systemd (never a machine's own) and end processes by
# name.
QVL_TEST_SYSTEMD_NAMESPACE=1 QVL_TEST_NAMESPACE=1 QVL_TEST_OVERLAY_ROOT=${QVL_NAMESPACE_OVERLAY:-0} \
    nsenter -t "$systemd_pid" -m -p -n -u "$@"
