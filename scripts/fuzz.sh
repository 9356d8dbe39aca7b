#!/bin/sh
# Runs one libFuzzer target for a given time:  scripts/fuzz.sh fuzz_reply 1200
# Builds it first in build-fuzz (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer). Starts from tests/fuzz/corpus/TARGET; what it adds
# goes to build-fuzz/corpus/TARGET (copy an input worth keeping into the
# project's corpus by hand). A crash, leak or timeout input is written to
# tests/fuzz/crashes/TARGET/, where the normal test run replays it: keep it
# there once fixed. Extra arguments go to libFuzzer (e.g. -jobs=2).
set -eu
usage="usage: scripts/fuzz.sh TARGET SECONDS [libFuzzer options]"
target=${1:?$usage}
seconds=${2:?$usage}
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
build=${DOTZ_FUZZ_BUILD:-$root/build-fuzz}
launcher=
command -v ccache >/dev/null && launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DDOTZ_FUZZ=ON -DDOTZ_SANITIZE=ON -DDOTZ_BUILD_BENCH=OFF \
    $launcher >/dev/null
cmake --build "$build" --target "$target"

work=$build/corpus/$target
crashes=$root/tests/fuzz/crashes/$target
mkdir -p "$work" "$crashes"
set -- -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
    -print_final_stats=1 -artifact_prefix="$crashes/" "$@"
[ -f "$root/tests/fuzz/$target.dict" ] && set -- -dict="$root/tests/fuzz/$target.dict" "$@"

ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    exec "$build/bin/$target" "$@" "$work" "$root/tests/fuzz/corpus/$target"
