#!/usr/bin/env bash
# Builds the whole tree with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, warnings as errors), so that clang keeps compiling
# what g++ does, then replays each fuzz target's corpus and kept crashes and fuzzes
# it for SECONDS (default 30). Usage: scripts/fuzz-check.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
export DOTZ_FUZZ_BUILD=$PWD/build-fuzz
scripts/build.sh build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DDOTZ_FUZZ=ON -DDOTZ_SANITIZE=ON \
    -DDOTZ_BUILD_BENCH=OFF -DDOTZ_WERROR=ON
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for source in tests/fuzz/fuzz_*.cpp; do
    target=$(basename "$source" .cpp)
    inputs=$(find "tests/fuzz/corpus/$target" "tests/fuzz/crashes/$target" -type f 2>/dev/null)
    echo "== $target: replaying $(wc -w <<<"$inputs") inputs, then fuzzing ${seconds} s"
    # Files given one by one are run once each and the program exits.
    [ -z "$inputs" ] || "build-fuzz/bin/$target" -rss_limit_mb=2048 $inputs >/dev/null 2>&1 ||
        { "build-fuzz/bin/$target" -rss_limit_mb=2048 $inputs; exit 1; }
    log=build-fuzz/$target.log
    scripts/fuzz.sh "$target" "$seconds" >"$log" 2>&1 || { cat "$log"; exit 1; }
    grep -E '^(Done|stat::new_units_added)' "$log"
done
