#!/usr/bin/env bash
# Runs a suite of the 32-bit Linux build: natively where the kernel runs 32-bit programs;
# elsewhere under qemu-i386-static, which the kernel then starts for every 32-bit program of
# the run (the suite's own child processes too) through a binfmt_misc mount private to a
# user namespace of the run's own (which kernels from 6.7 allow), so that the machine's own
# binfmt_misc is never changed. Where no such mount can be had, the suite runs under qemu
# alone, and its cases that start 32-bit child processes fail, saying so.
#   run32.sh SUITE [ARG...]
# QVL_RUN32_EMULATE=1 takes the emulated way also where the kernel runs 32-bit programs.
set -u
qemu=/usr/bin/qemu-i386-static
if [ "${1:-}" = --inside ]; then
    shift
    # As root the accounts are mapped from outside; wait for that (see below).
    for _ in $(seq 1 500); do
        [ -n "$(cat /proc/self/uid_map)" ] && break
        sleep 0.01
    done
    # The ELF header of a 32-bit x86 executable or position-independent one (qemu's own
    # registration of i386); "F": the interpreter is opened now, so it serves in any mount.
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null &&
        printf '%s' ':qvl-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
            >/proc/sys/fs/binfmt_misc/register 2>/dev/null || exit 125
    exec "$@"
fi
if [ "${QVL_RUN32_EMULATE:-0}" != 1 ] && "$1" --gtest_list_tests >/dev/null 2>&1; then
    exec "$@"  # the kernel runs it
fi
[ -x "$qemu" ] || { echo "run32.sh: 32-bit programs do not run here, and $qemu is missing" >&2; exit 1; }
if [ "$(id -u)" -eq 0 ]; then
    # The first 65536 accounts are themselves inside (unshare's own mapping takes the caller's
    # alone), so that the cases that act as another account (nobody) run as they do natively.
    unshare --user --mount bash "$0" --inside "$@" &
    inside=$!
    for _ in $(seq 1 500); do
        [ "$(readlink "/proc/$inside/ns/user")" != "$(readlink /proc/self/ns/user)" ] && break
        sleep 0.01
    done
    echo '0 0 65536' >"/proc/$inside/uid_map" && echo '0 0 65536' >"/proc/$inside/gid_map"
    wait "$inside"
else
    unshare --user --map-root-user --mount bash "$0" --inside "$@"
fi
status=$?
[ "$status" -eq 125 ] || exit "$status"
echo "run32.sh: no binfmt_misc of a user namespace's own here (a kernel before 6.7): the" \
    "suite runs under qemu alone, and its 32-bit child processes cannot start" >&2
exec "$qemu" "$@"
