#!/usr/bin/env bash
# Fails when a C++ file of the repository differs from what clang-format makes of it
# with the repository's own .clang-format. `clang-format -i FILE` mends one.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
