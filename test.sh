#!/usr/bin/env bash
# Builds everything and runs every test: the native build, both sanitizer builds, the
# 32-bit Windows build under Wine (or, where the kernel runs no 32-bit programs or Wine's
# 32-bit loader cannot be installed, the same Windows code at 64-bit width), and short fuzzer
# runs. Installs what is missing first. Ends with one line "N passed, N failed" and exits
# non-zero when anything failed.
#
# The work is a pipeline: while one preset's suites run (they mostly wait on timers, each
# suite isolated: natively in namespaces of its own, under Wine in a prefix of its own, so
# several run side by side), the next preset is built at the lowest CPU priority, so that
# the suites' timing is not starved by the compiler.
set -u
cd "$(dirname "$0")"
root=$(pwd)
began=$(date +%s)
# shellcheck source=tools/dev/ensure-packages.sh
. tools/dev/ensure-packages.sh
# shellcheck disable=SC2086
if ! ensure_packages $QVL_PACKAGES_NATIVE $QVL_PACKAGES_WIN32 $QVL_PACKAGES_TEST; then
    if [ "$QVL_NOT_INSTALLED" != "wine32:i386" ]; then
        echo "0 passed, 1 failed"
        exit 1
    fi
    echo "Wine's 32-bit loader (wine32:i386) could not be installed: the Windows tests run" \
        "at 64-bit width instead."
fi

# shellcheck disable=SC2086
QVL_APT_OPTIONS=--no-install-recommends ensure_packages $QVL_PACKAGES_TEST_NO_RECOMMENDS ||
    echo "Two builds that differ will be named without diffoscope's account of how."

passed=0
failed=0
skipped=0
fuzz_seconds=${QVL_FUZZ_SECONDS:-10}
suite_jobs=${QVL_SUITE_JOBS:-4}  # suites side by side; each mostly waits
timings=""

note_failure() { echo "FAILED: $*"; failed=$((failed + 1)); }
note_time() { timings="$timings$(printf '  %-28s %4d s' "$1" "$2")"$'\n'; }

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
        say_failures "$f" "${log#build/}: $name"
    done
}

# What a failed suite's cases said, for the summary: a failure seen only on another machine
# (CI's) can be understood from the printed output alone.
failure_notes=""
say_failures() {
    local f=$1 name=$2 lines
    if [ -f "$f" ]; then
        lines=$(grep -o '<testcase name="[^"]*"\|<failure message="[^"]*"' "$f" |
            grep -B1 '<failure' | grep -v '^--$' |
            sed -e 's/^<testcase name="\(.*\)"$/  case \1:/' \
                -e 's/^<failure message="\(.*\)"$/    \1/' \
                -e 's/&#x0A;/ | /g; s/&quot;/"/g; s/&apos;/'"'"'/g; s/&lt;/</g; s/&gt;/>/g; s/&amp;/\&/g' |
            cut -c1-400 | head -12)
        [ -n "$lines" ] || lines="  no case failed: the suite failed at its end (a sanitizer's report?)"
    else
        lines="  no results: it crashed or ran past its time limit"
    fi
    failure_notes="$failure_notes$name:"$'\n'"$lines"$'\n'
}

# The same programs built as the next patch version, into build/PRESET-next, and packaged:
# what the package tests upgrade to.
build_next() {
    local preset=$1 target=$2 version next
    version=$(sed -n 's/^project(qvljobctl VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
    next=${version%.*}.$((${version##*.} + 1))
    if ! { cmake --preset "$preset" -B "build/$preset-next" -DQVL_TESTS=OFF -DQVL_BENCH=OFF \
               -DQVL_VERSION="$next" && nice -n 19 cmake --build "build/$preset-next" -j 2 --target $target; } \
        >"build/$preset-next.build.log" 2>&1; then
        note_failure "$preset $target $next"; tail -20 "build/$preset-next.build.log"
    fi
}

# Configures and builds a preset (at the lowest priority), with its packages and those of
# the next version. BUILD_PRESET_ONLY=1: the programs and packages only (a Windows build
# whose tests cannot run here): no tests, and no next version to upgrade to.
build_preset() {
    local preset=$1 start tests=ON only=()
    start=$(date +%s)
    [ "${BUILD_PRESET_ONLY:-0}" = 1 ] && tests=OFF only=(-DQVL_BENCH=OFF)
    echo "== $preset: configure and build"
    if ! cmake --preset "$preset" -DQVL_TESTS=$tests "${only[@]}" >"build/$preset.configure.log" 2>&1; then
        note_failure "$preset configure"; tail -20 "build/$preset.configure.log"; return 1
    fi
    if ! nice -n 19 cmake --build --preset "$preset" -j 2 >"build/$preset.build.log" 2>&1; then
        note_failure "$preset build"; grep -E 'error|FAILED' "build/$preset.build.log" | head -20; return 1
    fi
    case "$preset" in native|win32|win64)
        nice -n 19 cmake --build --preset "$preset" --target package >>"build/$preset.build.log" 2>&1 ||
            note_failure "$preset package"
        local distribution=deb; [ "$preset" = native ] || distribution=msi
        nice -n 19 cmake --build --preset "$preset" --target $distribution >>"build/$preset.build.log" 2>&1 ||
            note_failure "$preset $distribution"
        [ "$tests" = OFF ] || build_next "$preset" $distribution ;;
    esac
    note_time "$preset build" $(($(date +%s) - start))
}

# Runs a preset's suites in the background; finish_tests waits for them and counts.
tests_pid=""
tests_preset=""
tests_start=0
start_tests() {
    local preset=$1 dir=build/$1
    echo "== $preset: tests"
    rm -rf "$dir/test-results" "$dir/prefixes" && mkdir -p "$dir/test-results"
    tests_preset=$preset
    tests_start=$(date +%s)
    # Under Wine every program start is a Wine process start: one suite fewer side by side,
    # so that a controller's start (and its KILL) never waits for the machine for a minute.
    local jobs=$suite_jobs
    case "$preset" in win*) jobs=$((suite_jobs > 1 ? suite_jobs - 1 : 1)) ;; esac
    ctest --preset "$preset" -j "$jobs" >"build/$preset.test.log" 2>&1 &
    tests_pid=$!
}
finish_tests() {
    [ -n "$tests_pid" ] || return 0
    wait "$tests_pid"
    local preset=$tests_preset dir=build/$tests_preset prefix
    tests_pid=""
    note_time "$preset tests" $(($(date +%s) - tests_start))
    echo "== $preset: tests done"
    tail -3 "build/$preset.test.log"
    # Each Windows suite had a prefix of its own, with a persistent wineserver: ended here.
    # Each Windows suite ended its own prefix's wineserver; one cut short by its time limit
    # could not: ended here.
    for prefix in "$root/$dir"/prefixes/*/; do
        [ -d "$prefix" ] && WINEPREFIX=${prefix%/} wineserver -k >/dev/null 2>&1
    done
    local before_passed=$passed before_failed=$failed before_skipped=$skipped
    tally "$dir/test-results" "build/$preset.test.log"
    preset_counts="$preset_counts$(printf '  %-12s %4d passed, %d failed, %d skipped' "$preset" \
        $((passed - before_passed)) $((failed - before_failed)) $((skipped - before_skipped)))"$'\n'
}
preset_counts=""

# The Windows suites each copy a prefix made once here, so that no suite depends on another
# having used a prefix before it; the copy is made fresh for every run.
make_wine_template() {
    local preset=$1
    rm -rf "build/$preset/wineprefix" "build/$preset/prefixes"
    mkdir -p "build/$preset"
    WINEPREFIX="$root/build/$preset/wineprefix" cmake/wine-run.sh cmd /c exit >/dev/null 2>&1
    WINEPREFIX="$root/build/$preset/wineprefix" wineserver -k >/dev/null 2>&1
}

mkdir -p build
echo "== layers of src/ and tools/"
if bash tools/dev/check-layers.sh; then passed=$((passed + 1)); else note_failure "layers"; fi

# Where Wine's 32-bit loader cannot run (not installed, or a kernel that runs no 32-bit
# programs: "Exec format error"), the 32-bit build is still made and packaged, its tests
# are counted as skipped, and the same Windows code built at 64-bit width runs them under
# Wine's 64-bit loader.
export WINEDEBUG=-all
# shellcheck source=tools/dev/windows-width.sh
. tools/dev/windows-width.sh
qvl_windows_width
windows=$QVL_WINDOWS wine_why=$QVL_WINE32_WHY

# Bystanders outside the suites (a job starter and a controller on the machine's own pipe)
# must survive every suite untouched: the native suites run in namespaces of their own,
# the Windows ones in Wine prefixes of their own.
bystanders=build/bystanders
rm -rf $bystanders  # never check an earlier run's
if build_preset native; then
    bash tests/support/bystanders.sh start $bystanders build/native/bin
    start_tests native
fi
build_preset native-asan && { finish_tests; start_tests native-asan; }
build_preset native-tsan && { finish_tests; start_tests native-tsan; }
# The product is 32-bit: the layers without platform code of their own, built for 32-bit
# Linux, run their suites natively, or under qemu-i386 where the kernel runs no 32-bit
# programs.
build_preset linux32 && { finish_tests; start_tests linux32; }
if [ "$windows" = win64 ]; then
    BUILD_PRESET_ONLY=1 build_preset win32
    export QVL_WINE_LOADER=$QVL_WINE64_LOADER
    if ! wine64_why=$("$QVL_WINE_LOADER" --version 2>&1); then
        windows=""
        echo "== win64: skipped too: $wine64_why"
    fi
fi
if [ -n "$windows" ] && build_preset "$windows"; then
    make_wine_template "$windows"
    finish_tests
    start_tests "$windows"
    if [ "$windows" = win64 ]; then
        # The same suites, built at the other width: the 32-bit build's are counted skipped.
        count=$(ctest --preset win64 -N 2>/dev/null | sed -n 's/^Total Tests: //p')
        echo "== win32: ${count:-0} tests skipped: Wine's 32-bit loader cannot run here: $wine_why"
        skipped=$((skipped + ${count:-0}))
        preset_counts="$preset_counts$(printf '  %-12s %4d passed, 0 failed, %d skipped (its suites ran as win64)' \
            win32 0 "${count:-0}")"$'\n'
    fi
fi

# The packages are reproducible: each built once more from a copy of the sources elsewhere,
# while the Windows suites run, and compared with the first build's.
reproducible() {  # reproducible PRESET TARGET
    local start log=build/reproduce-$1.log
    start=$(date +%s)
    echo "== $1: the $2 built twice, compared"
    if nice -n 19 bash tests/tools/reproducible_test.sh "$root" "$1" "$2" >"$log" 2>&1; then
        passed=$((passed + 1))
    else
        note_failure "$1 $2 is not reproducible (see $log)"
    fi
    head -40 "$log"
    note_time "$1 $2 rebuilt" $(($(date +%s) - start))
}
reproducible native deb
reproducible win32 msi

# Fuzzers: a short smoke run of each, no finding allowed.
echo "== fuzz: build and ${fuzz_seconds}s per target"
fuzz_start=$(date +%s)
if cmake --preset fuzz >build/fuzz.configure.log 2>&1 && nice -n 19 cmake --build --preset fuzz -j 2 >build/fuzz.build.log 2>&1; then
    for target in build/fuzz/bin/*_fuzz; do
        [ -x "$target" ] || continue
        name=$(basename "$target")
        corpus="build/fuzz/corpus/$name"
        mkdir -p "$corpus"
        if nice -n 19 "$target" -max_total_time="$fuzz_seconds" -artifact_prefix="build/fuzz/$name-" "$corpus" "fuzz/seeds/$name" >"build/fuzz/$name.log" 2>&1; then
            passed=$((passed + 1))
        else
            note_failure "$name"; tail -30 "build/fuzz/$name.log"
        fi
    done
else
    note_failure "fuzz build"; grep -E 'error|FAILED' build/fuzz.build.log | head -20
fi
note_time "fuzz build and runs" $(($(date +%s) - fuzz_start))
finish_tests

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

if [ -n "$failure_notes" ]; then
    echo "== what the failed suites said"
    printf '%s' "$failure_notes"
fi

echo "== cases per preset"
printf '%s' "$preset_counts"
echo "== times (builds overlap the previous preset's tests)"
printf '%s' "$timings"
echo "  all                          $(($(date +%s) - began)) s on $(nproc) cores"
echo "($skipped skipped: see the test logs for why)"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
