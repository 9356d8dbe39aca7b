#!/usr/bin/env bash
# The whole test suite, from a fresh Debian machine: installs what the project needs,
# builds it twice (plain, and with AddressSanitizer + UndefinedBehaviorSanitizer)
# and runs every test in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install.sh
scripts/build.sh build
scripts/build.sh build-asan -DDOTZ_SANITIZE=ON -DDOTZ_BUILD_BENCH=OFF
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build --output-on-failure --timeout 900
ctest --test-dir build-asan --output-on-failure --timeout 1800
