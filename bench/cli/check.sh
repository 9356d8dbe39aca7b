#!/usr/bin/env bash
# The big day's --check, which compares every planned file with the one in
# place, beside the export that put those files there, each against curl reading
# the same reply into /dev/null: curl, export, curl, check, interleaved. Prints
# each pair, the medians of each ÷ curl, and the peaks. The trees stay until
# the end: files created just after others were deleted are slower here.
# Usage: bench/cli/check.sh BUILD_DIR [DATA_DIR] [PAIRS] [DB]
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=$1/bin
data=${2:-/tmp/dotz-bench}
pairs=${3:-5}
db=${4:-$data/day.db}
day=${DAY:-2024-03-15}
. scripts/appserver-lib.sh
ensure_bench_day "$bin" "$db"
port=$((20000 + RANDOM % 20000))
out=$(mktemp -d "$data/check.XXXXXX")
trap 'stop_appserver; rm -rf "$out"' EXIT
start_appserver "$bin" "$db" "$port" "$out/server.log"
request='{"jsonrpc":"2.0","id":1,"method":"GetPrincipal","params":["T","'$day'"]}'

curl_wall() {
  /usr/bin/time -f "%e" -o "$out/curl.time" curl -sf -o /dev/null -X POST \
    "http://127.0.0.1:$port/rpc/Krt52410.rdmExportaDotz" -d "$request"
  cat "$out/curl.time"
}
# run TREE ARGS...: dotz-export of the day into TREE; prints wall seconds, peak KB
# and CPU seconds (user + system).
run() {
  local tree=$1
  shift
  sync
  /usr/bin/time -f "%e %M %U %S" -o "$out/run.time" "$bin/dotz-export" --config /dev/null \
    --server "127.0.0.1:$port" --drive "C=$tree" --from "$day" --to "$day" --with-515 "$@" \
    >"$out/run.out"
  awk '{ print $1, $2, $3 + $4 }' "$out/run.time"
}

: >"$out/export"; : >"$out/check"
for i in $(seq "$pairs"); do
  tree=$(fresh_tree "$out" "$db")
  c1=$(curl_wall); read -r e ePeak eCpu <<<"$(run "$tree")"
  c2=$(curl_wall); read -r c cPeak cCpu <<<"$(run "$tree" --check)"
  grep -q "todos iguais aos da pasta" "$out/run.out" || { cat "$out/run.out"; exit 1; }
  awk -v a="$e" -v c="$c1" 'BEGIN { print a / c }' >>"$out/export"
  awk -v a="$c" -v c="$c2" 'BEGIN { print a / c }' >>"$out/check"
  echo "pair $i (load $(cut -d' ' -f1 /proc/loadavg)): curl $c1 s, export $e s (CPU $eCpu s, peak $ePeak KB); curl $c2 s, check $c s (CPU $cCpu s, peak $cPeak KB)"
done
echo "median export ÷ curl: $(median <"$out/export")  (all: $(sort -g "$out/export" | tr '\n' ' '))"
echo "median check ÷ curl: $(median <"$out/check")  (all: $(sort -g "$out/check" | tr '\n' ' '))"
