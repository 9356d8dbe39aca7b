#!/usr/bin/env bash
# Figures for loading and writing one generated day (1M sales, 1M items, 100k
# products over 200 branches). Usage: bench/export/run.sh [BUILD_DIR]
set -euo pipefail
build=${1:-build}
bin=$(realpath "$build")/bin/bench_export
list=$(realpath "$(dirname "$0")")/day.sha256
work=$(mktemp -d /var/tmp/dotz-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/json"
"$bin" gen "$work/json"
echo "packets: $(du -sm "$work/json" | cut -f1) MB of JSON"
for i in 1 2 3; do "$bin" load "$work/json"; done
"$bin" ratio "$work/json" 5
"$bin" daycost 365 5
for i in 1 2 3; do "$bin" format "$work/json" "$work/format"; done
# Each write and each copy goes to a fresh folder, flushed to disk.
for i in 1 2 3; do
  rm -rf "$work/out"; sync
  "$bin" write "$work/json" "$work/out"
done
# Every file byte-identical to the list's.
(cd "$work/out" && sha256sum --quiet -c "$list") && echo "files: identical to $(basename "$list")"
files=$(find "$work/out" -name '*_1.txt' | wc -l)
for i in 1 2 3; do
  rm -rf "$work/copy"; mkdir -p "$work/copy"; sync
  start=$(date +%s%N)
  cp -r "$work/out/." "$work/copy/"
  find "$work/copy" -type f -print0 | xargs -0 sync
  end=$(date +%s%N)
  echo "cp+sync: $files files in $(( (end - start) / 1000000 )) ms"
done
