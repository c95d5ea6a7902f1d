#!/usr/bin/env bash
# Unpacks the package of a build and runs the tools' --help from the unpacked folder.
#   package_test.sh BUILD_DIR RESULT_XML [RUNNER]
set -u
. "$(dirname "$0")/../support/result_xml.sh"
build=$1 result=$2 runner=${3:-}
failure=""
pkg=$(ls -t "$build"/package/qvljobctl-*.zip "$build"/package/qvljobctl-*.tar.gz 2>/dev/null | head -1)
dir=$(mktemp -d)
if [ -z "$pkg" ]; then
    failure="no package in $build/package"
else
    case "$pkg" in
        *.zip) unzip -q "$pkg" -d "$dir" ;;
        *) tar -xzf "$pkg" -C "$dir" ;;
    esac
    top=$(ls -d "$dir"/qvljobctl-* | head -1)
    ext=""; [ -n "$runner" ] && ext=".exe"
    for tool in qvlcrypt qvlping; do
        $runner "$top/$tool$ext" --help | grep -q "usage: $tool" || failure="$failure $tool --help failed;"
    done
    for f in QVLJOBCTL.INI OPERATORS-GUIDE.md; do [ -f "$top/$f" ] || failure="$failure $f missing;"; done
    # The sample INI: CR LF on every line in the ZIP, for Windows editors; LF in the .tar.gz.
    lines=$(wc -l <"$top/QVLJOBCTL.INI") crlf=$(grep -c $'\r$' "$top/QVLJOBCTL.INI")
    case "$pkg" in
        *.zip) [ "$crlf" -eq "$lines" ] || failure="$failure QVLJOBCTL.INI has $crlf CR LF of $lines lines;" ;;
        *) [ "$crlf" -eq 0 ] || failure="$failure QVLJOBCTL.INI has $crlf CR LF line ends;" ;;
    esac
    if [ -n "$runner" ]; then want="QVLJOBCTL.EXE KILL.EXE qvljobstr_sample.exe"; else want="qvljobctl KILL qvljobstr_sample"; fi
    for f in $want; do [ -f "$top/$f" ] || failure="$failure $f missing;"; done
fi
rm -rf "$dir"
write_result_xml "$result" Package UnpacksAndRuns "$failure"
[ -z "$failure" ] || { echo "FAILED:$failure"; exit 1; }
echo passed
