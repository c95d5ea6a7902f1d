#!/usr/bin/env bash
# Two builds of one commit give the same bytes: the package of a preset that the test command
# built is built once more from a copy of the sources in another folder (another path, another
# depth, minutes later), and the two are compared by their checksums, which are printed side
# by side. Where they differ, diffoscope says how.
#   reproducible_test.sh SOURCE_DIR PRESET TARGET
# TARGET is the package's build target (deb or msi); the first build's package is looked for
# in SOURCE_DIR/build/PRESET/package. Exits 0 when the two are identical.
set -u
src=$(cd "$1" && pwd) preset=$2 target=$3
case "$target" in deb) pattern='qvljobctl_*.deb' ;; *) pattern='qvljobctl-*.msi' ;; esac
first=$(ls "$src/build/$preset/package/"$pattern 2>/dev/null | head -1)
[ -n "$first" ] || { echo "no package of $preset in $src/build/$preset/package"; exit 1; }
again=$src/build/reproduce-$preset
rm -rf "$again" && mkdir -p "$again/elsewhere/qvljobctl"
copy=$again/elsewhere/qvljobctl
# The sources as they are (with what is not committed yet), but no build and no history:
# the time the packages carry is the first build's commit time, handed over as the caller of
# a rebuild would.
(cd "$src" && git ls-files -z --cached --others --exclude-standard -- ':!build' |
    xargs -0 cp --parents -t "$copy" 2>/dev/null)
SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct)
export SOURCE_DATE_EPOCH
if ! { cd "$copy" && cmake --preset "$preset" -DQVL_TESTS=OFF -DQVL_BENCH=OFF &&
    nice -n 19 cmake --build "build/$preset" -j 2 --target "$target"; } >"$again/build.log" 2>&1; then
    tail -20 "$again/build.log"
    echo "the second build of $preset failed"
    exit 1
fi
second=$(ls "$copy/build/$preset/package/"$pattern | head -1)
a=$(sha256sum <"$first" | cut -c1-64) b=$(sha256sum <"$second" | cut -c1-64)
echo "  $a  ${first#"$src"/}"
echo "  $b  ${second#"$src"/}"
if [ "$a" = "$b" ]; then
    echo "$preset $target: the two builds are identical"
    exit 0
fi
echo "$preset $target: the two builds differ"
if command -v diffoscope >/dev/null; then
    timeout 300 diffoscope --text - "$first" "$second" 2>&1 | head -60
fi
exit 1
