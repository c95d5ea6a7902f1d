#!/usr/bin/env bash
# Builds everything and runs every test: the native build, both sanitizer builds, the
# 32-bit Windows build under Wine (or, where the kernel runs no 32-bit programs, the same
# Windows code at 64-bit width), and short fuzzer runs. Installs what is missing first.
# Ends with one line "N passed, N failed" and exits non-zero when anything failed.
set -u
cd "$(dirname "$0")"
root=$(pwd)
# shellcheck source=tools/dev/ensure-packages.sh
. tools/dev/ensure-packages.sh
ensure_packages || { echo "0 passed, 1 failed"; exit 1; }

passed=0
failed=0
skipped=0
fuzz_seconds=${QVL_FUZZ_SECONDS:-10}

note_failure() { echo "FAILED: $*"; failed=$((failed + 1)); }

# Adds the per-case results that the GoogleTest executables wrote; a suite that failed
# without saying so in its results (a crash, a sanitizer report at exit) counts once more.
tally() {
    local dir=$1 log=$2 f t fl er sk
    for f in "$dir"/*.xml; do
        [ -f "$f" ] || continue
        t=$(grep -m1 -o '<testsuites tests="[0-9]*"' "$f" | grep -o '[0-9]*')
        fl=$(grep -m1 -o '<testsuites [^>]*failures="[0-9]*"' "$f" | grep -o 'failures="[0-9]*"' | grep -o '[0-9]*')
        er=$(grep -m1 -o '<testsuites [^>]*errors="[0-9]*"' "$f" | grep -o 'errors="[0-9]*"' | grep -o '[0-9]*')
        sk=$(grep -c '<skipped' "$f")
        passed=$((passed + ${t:-0} - ${fl:-0} - ${er:-0} - ${sk:-0}))
        failed=$((failed + ${fl:-0} + ${er:-0}))
        skipped=$((skipped + ${sk:-0}))
    done
    local name
    for name in $(sed -n 's/^[[:space:]]*[0-9]* - \([A-Za-z0-9_.-]*\) (.*/\1/p' "$log"); do
        f="$dir/$name.xml"
        if [ ! -f "$f" ] || grep -qm1 '<testsuites [^>]*failures="0"[^>]*errors="0"' "$f"; then
            note_failure "$name (see $log)"
        fi
    done
}

build_preset() {
    local preset=$1
    echo "== $preset: configure and build"
    if ! cmake --preset "$preset" >"build/$preset.configure.log" 2>&1; then
        note_failure "$preset configure"; tail -20 "build/$preset.configure.log"; return 1
    fi
    if ! cmake --build --preset "$preset" -j 2 >"build/$preset.build.log" 2>&1; then
        note_failure "$preset build"; grep -E 'error|FAILED' "build/$preset.build.log" | head -20; return 1
    fi
    case "$preset" in native|win32|win64)
        cmake --build --preset "$preset" --target package >>"build/$preset.build.log" 2>&1 ||
            note_failure "$preset package"
        local distribution=deb; [ "$preset" = native ] || distribution=msi
        cmake --build --preset "$preset" --target $distribution >>"build/$preset.build.log" 2>&1 ||
            note_failure "$preset $distribution"
        build_next "$preset" $distribution ;;
    esac
}

# The same programs built as the next patch version, into build/PRESET-next, and packaged:
# what the package tests upgrade to.
build_next() {
    local preset=$1 target=$2 version next
    version=$(sed -n 's/^project(qvljobctl VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
    next=${version%.*}.$((${version##*.} + 1))
    if ! { cmake --preset "$preset" -B "build/$preset-next" -DQVL_TESTS=OFF -DQVL_BENCH=OFF \
               -DQVL_VERSION="$next" && cmake --build "build/$preset-next" -j 2 --target $target; } \
        >"build/$preset-next.build.log" 2>&1; then
        note_failure "$preset $target $next"; tail -20 "build/$preset-next.build.log"
    fi
}

test_preset() {
    local preset=$1 dir=build/$1
    echo "== $preset: tests"
    rm -rf "$dir/test-results" && mkdir -p "$dir/test-results"
    ctest --preset "$preset" >"build/$preset.test.log" 2>&1
    tail -3 "build/$preset.test.log"
    tally "$dir/test-results" "build/$preset.test.log"
}

run_preset() { build_preset "$1" && test_preset "$1"; }

mkdir -p build
echo "== layers of src/"
if bash tools/dev/check-layers.sh; then passed=$((passed + 1)); else note_failure "layers of src/"; fi
# Bystanders outside the suites (a job starter and a controller on the machine's own pipe)
# must survive every suite untouched: the native suites run in namespaces of their own,
# the Windows ones in a Wine prefix of their own.
bystanders=build/bystanders
rm -rf $bystanders  # never check an earlier run's
if build_preset native; then
    bash tests/support/bystanders.sh start $bystanders build/native/bin
    test_preset native
fi
run_preset native-asan
run_preset native-tsan

# Windows executables under Wine: one prefix inside the build folder and one persistent
# wineserver for the whole run, so each test executable starts in a fraction of a second.
export WINEPREFIX="$root/build/win32/wineprefix" WINEDEBUG=-all
mkdir -p build/win32
if wine_why=$(wine --version 2>&1); then
    cmake/wine-run.sh cmd /c exit >/dev/null 2>&1
    run_preset win32
    wineserver -k >/dev/null 2>&1
elif build_preset win32; then
    # Some kernels run no 32-bit programs at all (Wine's 32-bit loader then fails with
    # "Exec format error"): the Windows build is made and packaged, its tests are skipped,
    # and the same Windows code, built at 64-bit width, runs them under Wine's 64-bit loader.
    count=$(ctest --preset win32 -N 2>/dev/null | sed -n 's/^Total Tests: //p')
    echo "== win32: ${count:-0} tests skipped: Wine cannot run here: $wine_why"
    skipped=$((skipped + ${count:-0}))
    export WINEPREFIX="$root/build/win64/wineprefix" QVL_WINE_LOADER=/usr/lib/wine/wine64
    mkdir -p build/win64
    if wine64_why=$("$QVL_WINE_LOADER" --version 2>&1); then
        cmake/wine-run.sh cmd /c exit >/dev/null 2>&1
        run_preset win64
        wineserver -k >/dev/null 2>&1
    else
        echo "== win64: skipped too: $wine64_why"
    fi
fi

echo "== bystanders outside the suites"
if [ -d $bystanders ]; then
    verdict=$(bash tests/support/bystanders.sh check $bystanders build/native/bin)
    bash tests/support/bystanders.sh stop $bystanders
    echo "$verdict"
    case "$verdict" in
        passed) passed=$((passed + 1)) ;;
        skipped*) skipped=$((skipped + 1)) ;;
        *) note_failure "isolation of the suites: $verdict" ;;
    esac
fi

# Fuzzers: a short smoke run of each, no finding allowed.
echo "== fuzz: build and ${fuzz_seconds}s per target"
if cmake --preset fuzz >build/fuzz.configure.log 2>&1 && cmake --build --preset fuzz -j 2 >build/fuzz.build.log 2>&1; then
    for target in build/fuzz/bin/*_fuzz; do
        [ -x "$target" ] || continue
        name=$(basename "$target")
        corpus="build/fuzz/corpus/$name"
        mkdir -p "$corpus"
        if "$target" -max_total_time="$fuzz_seconds" -artifact_prefix="build/fuzz/$name-" "$corpus" "fuzz/seeds/$name" >"build/fuzz/$name.log" 2>&1; then
            passed=$((passed + 1))
        else
            note_failure "$name"; tail -30 "build/fuzz/$name.log"
        fi
    done
else
    note_failure "fuzz build"; grep -E 'error|FAILED' build/fuzz.build.log | head -20
fi

echo "($skipped skipped: see the test logs for why)"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
