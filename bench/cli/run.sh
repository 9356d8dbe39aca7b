#!/usr/bin/env bash
# A whole export of one day (1,000,000 sales with points, about as many items with
# extra points, 100,000+ promotion products, 200 branches) with dotz-export and the
# application server on SQLite, beside sqlite3 writing the same records formatted
# by SQL into a file. Usage: bench/cli/run.sh [BUILD_DIR] [DATA_DIR] [RUNS]
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
sqlite3 "$db" "SELECT 'rows: ' || (SELECT count(*) FROM VENDA WHERE DTVENDA='2024-03-15' AND CDIDCLIENTEDOTZ IS NOT NULL) || ' sales, ' || (SELECT count(*) FROM ITEMVENDA WHERE DTVENDA='2024-03-15' AND NRDOTZEXTRA > 0) || ' items'"

port=$((20000 + RANDOM % 20000))
trap stop_appserver EXIT
start_appserver "$bin" "$db" "$port" "$data/server.log"
server=$APPSERVER_PID
ticks=$(getconf CLK_TCK)
cpu() { awk -v t="$ticks" '{ printf "%.2f", ($14 + $15) / t }' "/proc/$server/stat"; }

echo "== dotz-export, one day, all branches, with 515, $runs runs (fresh folder each)"
for i in $(seq "$runs"); do
  rm -rf "$data/out"; mkdir -p "$data/out"
  for b in $(sqlite3 "$db" "SELECT CDFILIAL FROM FILIAL"); do mkdir -p "$data/out/DOTZ/LOJA$b"; done
  sync
  before=$(cpu)
  /usr/bin/time -f "   dotz-export: %e s wall, %U s user, %S s sys, peak %M KB" \
    "$bin/dotz-export" --config /dev/null --server "127.0.0.1:$port" --drive "C=$data/out" \
      --from 2024-03-15 --to 2024-03-15 --with-515 2>&1 >/dev/null
  echo "   server: $(awk -v a="$before" -v b="$(cpu)" 'BEGIN { printf "%.2f", b - a }') s CPU; $(grep GetPrincipal "$data/server.log" | tail -n 1 | grep -o 'rows=.*')"
done
echo "   server peak memory: $(awk '/VmHWM/ { print $2, $3 }' "/proc/$server/status")"
echo "   files: $(find "$data/out" -name '*_1.txt' | wc -l), $(du -sm "$data/out" | cut -f1) MB"
stop_appserver

echo "== sqlite3 -separator '|' writing the same records to a file, $runs runs"
for i in $(seq "$runs"); do
  rm -f "$data/records.txt"; sync
  /usr/bin/time -f "   sqlite3: %e s wall, %U s user, %S s sys, peak %M KB" \
    sqlite3 -separator '|' "$db" <bench/cli/records.sql >"$data/records.txt"
done
echo "   file: $(stat -c %s "$data/records.txt") bytes, $(wc -l <"$data/records.txt") lines"
