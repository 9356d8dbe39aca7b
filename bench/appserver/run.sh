#!/usr/bin/env bash
# GetPrincipal end to end (query, encode, transfer, decode into the export tables)
# on one day of 1,000,000 sales, beside sqlite3 writing the same rows to a file.
# Usage: bench/appserver/run.sh [BUILD_DIR] [DATA_DIR] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
data=${2:-/tmp/dotz-bench}
runs=${3:-3}
bin=$build/bin
db=$data/day.db
mkdir -p "$data"
. scripts/appserver-lib.sh
ensure_bench_day "$bin" "$db"

port=$((20000 + RANDOM % 20000))
trap stop_appserver EXIT
start_appserver "$bin" "$db" "$port" "$data/server.log"
server=$APPSERVER_PID

ticks=$(getconf CLK_TCK)
cpu() { awk -v t="$ticks" '{ printf "%.2f", ($14 + $15) / t }' "/proc/$server/stat"; }

echo "== GetPrincipal end to end, $runs runs"
for i in $(seq "$runs"); do
  before=$(cpu)
  /usr/bin/time -f "   client: %e s wall, %U s user, %S s sys, peak %M KB" \
    "$bin/bench_getprincipal" "$port" 2024-03-15 T 2>&1
  after=$(cpu)
  echo "   server: $(awk -v a="$before" -v b="$after" 'BEGIN { printf "%.2f", b - a }') s CPU"
done
echo "   server peak memory: $(awk '/VmHWM/ { print $2, $3 }' "/proc/$server/status")"
stop_appserver
grep GetPrincipal "$data/server.log" | tail -n 1 | sed 's/^/   server log: /'

echo "== sqlite3 -separator '|' writing the same rows to a file, $runs runs"
for i in $(seq "$runs"); do
  /usr/bin/time -f "   sqlite3: %e s wall, %U s user, %S s sys, peak %M KB" \
    sqlite3 -separator '|' "$db" <bench/appserver/baseline.sql >"$data/sqlite3.txt"
done
echo "   file: $(stat -c %s "$data/sqlite3.txt") bytes, $(wc -l <"$data/sqlite3.txt") lines"
