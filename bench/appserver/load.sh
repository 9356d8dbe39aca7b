#!/usr/bin/env bash
# Stores at once on the benchmarks' day (200 branches, 1,000,000 sales): each
# store asks for its own branch's day again and again, /health polled beside
# (bench/appserver/load.py). A fresh server per run, so that its peak RSS is the
# run's. RUNS runs each of 16 and 64 stores from addresses of their own (the
# server's defaults), then one run each from one address, as from behind a
# balancer: 16 stores with the default --max-calls-per-address (4), and 64
# with it at 64.
# Usage: bench/appserver/load.sh [BUILD_DIR] [DATA_DIR] [SECONDS] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=${1:-build}/bin
data=${2:-/tmp/dotz-bench}
seconds=${3:-30}
runs=${4:-3}
db=$data/day.db
mkdir -p "$data"
. scripts/appserver-lib.sh
ensure_bench_day "$bin" "$db"
trap stop_appserver EXIT
echo "$(date -u '+%F %H:%M') UTC, $(git rev-parse --short HEAD), $seconds s a run"

run() {
  local stores=$1 mode=$2
  shift 2
  local port=$((20000 + RANDOM % 20000))
  start_appserver "$bin" "$db" "$port" "$data/load-server.log" --config /dev/null "$@"
  echo "== $stores stores; load $(cut -d' ' -f1-3 /proc/loadavg); serve ${*:-(defaults)}"
  bench/appserver/load.py "$port" "$APPSERVER_PID" 2024-03-15 "$seconds" "$mode" \
    $(sqlite3 "$db" "SELECT CDFILIAL FROM FILIAL ORDER BY CDFILIAL LIMIT $stores")
  stop_appserver
}

for stores in 16 64; do
  for _ in $(seq "$runs"); do run "$stores" many; done
done
run 16 one
run 64 one --max-calls-per-address 64
