#!/usr/bin/env bash
# Runs the README's first command as a new user does: in a fresh clone of the repository
# (so that it can never pass on a tree that happens to be built), exactly as the README
# writes it, and checks what it shows and that it leaves nothing running.
#   demo_test.sh SOURCE_DIR RESULT_XML
# A clone holds what is committed: uncommitted changes to the demo are not what it runs.
set -u
. "$(dirname "$0")/../support/result_xml.sh"
source_dir=$1 result=$2
failure=""
# The first command of the README's set-up: its first indented line that runs a script.
command=$(sed -n '/^## Set-up/,/^## /{/^    \.\//{s/^    //;p;q}}' "$source_dir/README.md")
case "$command" in
    "./demo.sh --seconds "[0-9]*) ;;
    *) failure="the README's first command is '$command', not ./demo.sh --seconds N" ;;
esac
clone=$(mktemp -d)
trap 'rm -rf "$clone"' EXIT
if [ -z "$failure" ] && ! git clone -q "$source_dir" "$clone/main" 2>"$clone/clone.log"; then
    write_skipped_xml "$result" Demo FromAFreshClone "cannot clone $source_dir: $(head -1 "$clone/clone.log")"
    echo "skipped: cannot clone $source_dir"
    exit 0
fi
# The stand-in package manager: "update" fails as a mirror mid-sync makes it fail, "install"
# fails too (the test installs nothing); every call is recorded.
mkdir -p "$clone/bin"
cat >"$clone/bin/apt-get" <<STANDIN
#!/bin/sh
echo "\$*" >>"$clone/apt-calls"
case "\$*" in *update*)
    echo "E: Failed to fetch .../binary-i386/Packages.xz  File has unexpected size. Mirror sync in progress?" >&2 ;;
esac
exit 100
STANDIN
chmod +x "$clone/bin/apt-get"
out=""
if [ -z "$failure" ]; then
    echo "running '$command' in a fresh clone ($clone/main), apt-get refusing to refresh"
    out=$(cd "$clone/main" && PATH="$clone/bin:$PATH" timeout 900 bash -c "$command" 2>&1 </dev/null)
    rc=$?
    [ $rc -eq 0 ] || failure="$failure; exit status $rc"
    for want in "LOG  .*  \*\* Service QVLJOBCTL wurde gestartet  \*\*" \
        "LOG  .*  Prozess QVLJOBSTR_ORACLE.EXE" \
        "QVLJOBCTL.EXE Read -> \[JOBSTARTER [0-9]*\]" \
        "LOG  .*  \*\* Service QVLJOBCTL wurde beendet    \*\*" \
        "controller ended with status 0"; do
        printf '%s\n' "$out" | tr -d '\r' | grep -q -- "$want" || failure="$failure; no line like '$want'"
    done
    # With every package there, the demo asks the package manager nothing.
    [ ! -f "$clone/apt-calls" ] ||
        failure="$failure; the demo called apt-get: $(tr '\n' ' ' <"$clone/apt-calls")"
    # A package that cannot be had: the install is tried once more and the package named.
    missing=$(cd "$clone/main" && PATH="$clone/bin:$PATH" QVL_APT_RETRY_SECONDS=0 bash -c \
        '. tools/dev/ensure-packages.sh; ensure_packages qvl-no-such-package; echo "status $?"' 2>&1)
    printf '%s\n' "$missing" | grep -q "could not be installed: qvl-no-such-package" ||
        failure="$failure; a package that cannot be installed is not named: $missing"
    printf '%s\n' "$missing" | grep -q "^status 1$" || failure="$failure; the failure was not reported"
    [ "$(grep -c '^install' "$clone/apt-calls" 2>/dev/null)" -ge 2 ] ||
        failure="$failure; the install was not tried again"
    sleep 0.5
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
        case "$(readlink "/proc/$pid/exe" 2>/dev/null)" in
            "$clone"/*) failure="$failure; still running: $(tr '\0' ' ' <"/proc/$pid/cmdline")" ;;
        esac
    done
fi
write_result_xml "$result" Demo FromAFreshClone "$failure"
[ -z "$failure" ] || { printf '%s\n' "$out" | tail -30; echo "FAILED:$failure"; exit 1; }
echo passed
