#!/usr/bin/env bash
# The whole test suite, from a fresh Debian machine: installs what the project needs,
# builds it twice (plain, and with AddressSanitizer + UndefinedBehaviorSanitizer),
# warnings as errors, runs every test in both builds, and builds and checks the
# Debian packages from the plain build; then builds the tree with clang and fuzzes
# each fuzz target for 30 s. First of all it checks that no include loop ties
# units or top folders together and that every C++ file is formatted.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install.sh
scripts/check-loops.py
scripts/check-format.sh
# The default prefix: the packages must come out under /usr all the same.
scripts/build.sh build -DDOTZ_WERROR=ON
scripts/build.sh build-asan -DDOTZ_WERROR=ON -DDOTZ_SANITIZE=ON -DDOTZ_BUILD_BENCH=OFF
scripts/package.sh build
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Two at a time: the end-to-end tests take most of the run, the rest goes beside them.
ctest --test-dir build -j2 --output-on-failure --timeout 900
ctest --test-dir build-asan --output-on-failure --timeout 1800
scripts/fuzz-check.sh 30
