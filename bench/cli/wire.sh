#!/usr/bin/env bash
# The big day's whole export against curl reading the same reply into /dev/null,
# for two builds of dotz-export (this one and an earlier one) against one server:
# curl, this export, curl, the earlier export, pairs interleaved. Prints each
# pair and the median ratios. WARM_MB=N touches N MiB of memory before each timed
# command (warm_memory in scripts/appserver-lib.sh).
# Usage: bench/cli/wire.sh BUILD_DIR OTHER_BIN_DIR [DATA_DIR] [PAIRS]
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=$1/bin
other=$2
data=${3:-/tmp/dotz-bench}
pairs=${4:-5}
warm=${WARM_MB:-0}
db=$data/day.db
. scripts/appserver-lib.sh
ensure_bench_day "$bin" "$db"
port=$((20000 + RANDOM % 20000))
trap stop_appserver EXIT
start_appserver "$bin" "$db" "$port" "$data/server.log"
request='{"jsonrpc":"2.0","id":1,"method":"GetPrincipal","params":["T","2024-03-15"]}'
out=$(mktemp -d "$data/wire.XXXXXX")
trap 'stop_appserver; rm -rf "$out"' EXIT

curl_wall() {
  warm_memory "$warm"
  /usr/bin/time -f "%e" -o "$out/curl.time" curl -sf -o /dev/null -X POST \
    "http://127.0.0.1:$port/rpc/Krt52410.rdmExportaDotz" -d "$request"
  cat "$out/curl.time"
}

reply=$(curl -sf -X POST "http://127.0.0.1:$port/rpc/Krt52410.rdmExportaDotz" -d "$request" | wc -c)
echo "reply: $reply bytes"
: >"$out/this"; : >"$out/other"; : >"$out/peak"; : >"$out/otherpeak"
for i in $(seq "$pairs"); do
  c1=$(curl_wall); warm_memory "$warm"; read -r a peak <<<"$(export_wall "$bin" "$db" "$port" "$out" 2024-03-15 2024-03-15)"
  c2=$(curl_wall); warm_memory "$warm"; read -r b otherPeak <<<"$(export_wall "$other" "$db" "$port" "$out" 2024-03-15 2024-03-15)"
  awk -v a="$a" -v c="$c1" 'BEGIN { print a / c }' >>"$out/this"
  awk -v b="$b" -v c="$c2" 'BEGIN { print b / c }' >>"$out/other"
  awk -v p="$peak" -v r="$reply" 'BEGIN { print p * 1024 / r }' >>"$out/peak"
  awk -v p="$otherPeak" -v r="$reply" 'BEGIN { print p * 1024 / r }' >>"$out/otherpeak"
  echo "pair $i: curl $c1 s, this $a s (peak $peak KB); curl $c2 s, other $b s (peak $otherPeak KB)"
done
echo "median this ÷ curl: $(median <"$out/this")  (all: $(sort -g "$out/this" | tr '\n' ' '))"
echo "median other ÷ curl: $(median <"$out/other")  (all: $(sort -g "$out/other" | tr '\n' ' '))"
echo "peak ÷ reply, this: $(sort -g "$out/peak" | tr '\n' ' ')"
echo "peak ÷ reply, other: $(sort -g "$out/otherpeak" | tr '\n' ' ')"
