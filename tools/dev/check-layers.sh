#!/usr/bin/env bash
# Checks that the folders of src/ form layers that point only down: a file includes headers
# of its own folder and of the folders below it, never of one above. Prints each wrong
# include and exits 1 when there is one.   check-layers.sh [SRC_DIR]
set -u
src=${1:-$(dirname "$0")/../../src}
# Top to bottom.
layers="host supervision service log config platform"
rank() { local i=0 l; for l in $layers; do i=$((i + 1)); [ "$l" = "$1" ] && { echo $i; return; }; done; echo 0; }
wrong=0
while IFS= read -r file; do
    folder=${file#"$src"/}; folder=${folder%%/*}
    own=$(rank "$folder")
    [ "$own" -eq 0 ] && { echo "$file: its folder $folder is not a layer"; wrong=1; continue; }
    while IFS= read -r included; do
        target=${included%%/*}
        [ "$included" = "$target" ] && continue  # a header beside the file
        theirs=$(rank "$target")
        if [ "$theirs" -ne 0 ] && [ "$theirs" -lt "$own" ]; then
            echo "$file includes $included: $target lies above $folder"; wrong=1
        fi
    done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(find "$src" -name '*.h' -o -name '*.cpp' | sort)
# The tools stand on top: they include the layers' headers and their own, and no layer
# includes one of theirs (the build links each tool only to the layers it uses).
tools=${src%/}/../tools
for file in "$tools"/*.h "$tools"/*.cpp; do
    [ -f "$file" ] || continue
    while IFS= read -r included; do
        target=${included%%/*}
        [ "$included" = "$target" ] && continue
        [ "$(rank "$target")" -ne 0 ] && continue
        echo "$file includes $included: neither a layer nor a tool's own header"; wrong=1
    done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done
for header in "$tools"/*.h; do
    [ -f "$header" ] || continue
    name=$(basename "$header")
    if grep -rlq "#include \"$name\"" "$src"; then
        echo "$src includes the tools' $name"; wrong=1
    fi
done
[ "$wrong" -eq 0 ] && echo "layers: every include points down ($layers, then tools)"
exit "$wrong"
