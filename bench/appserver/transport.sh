#!/usr/bin/env bash
# The transport's cost, over loopback: a 365-day period of a small store (3
# branches, 400 sales a day) and 365 days without rows, each exported by
# dotz-export, and the cost of one call on a kept-alive connection (curl, 500
# calls of an empty day).
# Usage: bench/appserver/transport.sh [BUILD_DIR] [DATA_DIR] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
data=${2:-/tmp/dotz-bench-transport}
runs=${3:-3}
bin=$build/bin
db=$data/year.db
mkdir -p "$data"
. scripts/appserver-lib.sh
if [ ! -f "$db" ]; then
  echo "== generating the year (once; kept in $db)"
  "$bin/krt-appserver" init-demo --db "$db" --branches 3 --days 365 --first-day 2023-01-01 \
    --sales-per-day 400 --seed 1 2>&1 | tail -n 1
fi

port=$((20000 + RANDOM % 20000))
trap stop_appserver EXIT
start_appserver "$bin" "$db" "$port" "$data/server.log"

# export_period FROM TO: one dotz-export run into a fresh folder; prints its
# wall time. A period without points ends refused, as it should: that is no
# failure of the run.
export_period() {
  rm -rf "$data/out"
  for b in $(sqlite3 "$db" "SELECT CDFILIAL FROM FILIAL"); do mkdir -p "$data/out/DOTZ/LOJA$b"; done
  /usr/bin/time -f "%e" -o "$data/time" "$bin/dotz-export" --config /dev/null \
    --server "127.0.0.1:$port" --drive "C=$data/out" --from "$1" --to "$2" \
    >/dev/null 2>"$data/export.err" ||
    grep -q 'Não há pontos DOTZ' "$data/export.err" || { cat "$data/export.err" >&2; return 1; }
  tail -n 1 "$data/time"
}

echo "== 365 days of 3 branches, 400 sales a day (2023-01-01 .. 2023-12-31), $runs runs"
for i in $(seq "$runs"); do echo "   dotz-export: $(export_period 2023-01-01 2023-12-31) s"; done
echo "   files: $(find "$data/out" -type f | wc -l), $(du -sm "$data/out" | cut -f1) MB"

echo "== 365 days without rows (2021-01-01 .. 2021-12-31), $runs runs"
for i in $(seq "$runs"); do
  t=$(export_period 2021-01-01 2021-12-31)
  echo "   dotz-export: $t s, $(awk -v t="$t" 'BEGIN { printf "%.2f", t * 1000 / 365 }') ms a day"
done

calls=500
printf '%s' '{"jsonrpc":"2.0","id":1,"method":"GetPrincipal","params":["T","2021-06-01"]}' >"$data/call.json"
{
  printf 'data-binary = "@%s"\nheader = "Content-Type: application/json"\n' "$data/call.json"
  for i in $(seq "$calls"); do
    printf 'url = "http://127.0.0.1:%s/rpc/Krt52410.rdmExportaDotz"\noutput = /dev/null\n' "$port"
  done
} >"$data/calls.curl"
echo "== $calls calls of an empty day on one kept-alive connection (curl), $runs runs"
for i in $(seq "$runs"); do
  start=$(date +%s.%N)
  curl -sf -K "$data/calls.curl"
  end=$(date +%s.%N)
  echo "   $(awk -v a="$start" -v b="$end" -v n="$calls" 'BEGIN { printf "%.3f s, %.2f ms a call", b - a, (b - a) * 1000 / n }')"
done
