#!/usr/bin/env bash
# Runs every command that the operator's guide shows, from the unpacked package, and
# compares the output that the guide shows after it.
#   guide_test.sh GUIDE BUILD_DIR RESULT_XML [RUNNER]
# Without RUNNER: the Linux commands (prompt "$ "), run as root with systemd as the service
# manager (inside the namespace of systemd_namespace.sh). With RUNNER (Wine): the Windows
# commands (prompt "C:\QVL> "), each through cmd /c.
# A command passes when it exits with 0 and prints exactly the lines shown after it (when
# any are shown; "..." stands for any lines, at the end for any further lines or none); a line "Stopping NAME." may gain further dots
# while the service stops. A command commented "ends with Ctrl+C" gets SIGINT after 3 s.
set -u
. "$(dirname "$0")/../support/result_xml.sh"
guide=$1 build=$2 result=$3 runner=${4:-}
if [ -n "$runner" ]; then prompt='C:\QVL> '; else prompt='$ '; fi

# The guide's console blocks as records: "C<command>" then "O<expected line>"...
commands=$(awk -v prompt="$prompt" '
    /^```console/ { inblock = 1; mine = 0; next }
    /^```/ { inblock = 0; next }
    !inblock { next }
    /^\$ / || /^C:\\QVL> / {
        mine = index($0, prompt) == 1
        if (mine) print "C" substr($0, length(prompt) + 1)
        next
    }
    mine { print "O" $0 }
' "$guide")
failure=""
[ -n "$commands" ] || failure="no commands found in $guide"

pkg=$(ls -t "$build"/package/qvljobctl-*.zip "$build"/package/qvljobctl-*.tar.gz 2>/dev/null | head -1)
dir=$(mktemp -d)
case "$pkg" in
    "") failure="$failure; no package in $build/package" ;;
    *.zip) unzip -q "$pkg" -d "$dir" ;;
    *) tar -xzf "$pkg" -C "$dir" ;;
esac
top=$(ls -d "$dir"/qvljobctl-* 2>/dev/null | head -1)

normalize() { tr -d '\r' | sed -E 's/^(Stopping .*)\.\.+$/\1./'; }
run_one() {
    local cmd=$1
    if [ -n "$runner" ]; then
        (cd "$top" && timeout 120 "$runner" cmd /c "$cmd" </dev/null)
    elif [[ $cmd == *"ends with Ctrl+C"* ]]; then
        (cd "$top" && timeout -s INT --preserve-status 3 bash -c "$cmd" </dev/null)
    else
        (cd "$top" && timeout 120 bash -c "$cmd" </dev/null)
    fi
}
# The output matches the lines shown; a line "..." in them stands for any lines (at the
# end: for any further lines, or none).
matches() {
    local out=$1 expected=$2 nl=$'\n'
    case "$expected" in
        *"$nl...")
            local before=${expected%"$nl..."}
            [[ $out == "$before" || $out == "$before$nl"* ]] ;;
        *"$nl...$nl"*)
            local before=${expected%%"$nl...$nl"*} after=${expected#*"$nl...$nl"}
            [[ $out == "$before$nl"* && $out == *"$nl$after" ]] ;;
        *) [ "$out" = "$expected" ] ;;
    esac
}
check() {
    local cmd=$1 expected=$2 out rc
    out=$(run_one "$cmd" 2>&1)
    rc=$?
    out=$(printf '%s\n' "$out" | normalize)
    expected=$(printf '%s\n' "$expected" | normalize)
    if [ $rc -ne 0 ]; then
        failure="$failure; '$cmd' exited with $rc: $out"
    elif [ -n "$expected" ] && ! matches "$out" "$expected"; then
        failure="$failure; '$cmd' printed [$out], the guide shows [$expected]"
    fi
    echo "ran: $cmd (exit $rc)"
}

if [ -n "$top" ] && [ -z "$failure" ]; then
    cmd="" expected="" have=0
    while IFS= read -r line; do
        case "$line" in
            C*)
                [ $have -eq 1 ] && check "$cmd" "$expected"
                cmd=${line#C} expected="" have=1 ;;
            O*) expected="$expected${expected:+$'\n'}${line#O}" ;;
        esac
    done <<<"$commands"
    [ $have -eq 1 ] && check "$cmd" "$expected"
fi

# Whatever a failed run left behind: the instance and the job starters.
if [ -n "$top" ]; then
    if [ -n "$runner" ]; then
        (cd "$top"; "$runner" QVLJOBCTL.EXE -remove 3; "$runner" KILL.EXE QVLJOBSTR_ORACLE.EXE 3) >/dev/null 2>&1
    else
        (cd "$top"; ./qvljobctl -remove 3; ./KILL QVLJOBSTR_ORACLE.EXE 3) >/dev/null 2>&1
    fi
fi
rm -rf "$dir"
write_result_xml "$result" OperatorsGuide EveryCommandRunsAsShown "$failure"
[ -z "$failure" ] || { echo "FAILED:$failure"; exit 1; }
echo passed
