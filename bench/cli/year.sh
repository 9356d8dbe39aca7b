#!/usr/bin/env bash
# A small store's year (3 branches, 400 sales a day, 365 days, with 515) exported
# whole by two builds of dotz-export against one server, pairs interleaved.
# Usage: bench/cli/year.sh BUILD_DIR OTHER_BIN_DIR [DATA_DIR] [PAIRS]
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=$1/bin
other=$2
data=${3:-/tmp/dotz-bench}
pairs=${4:-5}
mkdir -p "$data"
db=$data/year.db
[ -f "$db" ] || "$bin/krt-appserver" init-demo --db "$db" --seed 1 --branches 3 --days 365 \
  --first-day 2024-01-01 --sales-per-day 400 >/dev/null 2>&1
. scripts/appserver-lib.sh
port=$((20000 + RANDOM % 20000))
out=$(mktemp -d "$data/year.XXXXXX")
trap 'stop_appserver; rm -rf "$out"' EXIT
start_appserver "$bin" "$db" "$port" "$data/server.log"

: >"$out/ratio"
for i in $(seq "$pairs"); do
  read -r a _ <<<"$(export_wall "$bin" "$db" "$port" "$out" 2024-01-01 2024-12-30)"
  read -r b _ <<<"$(export_wall "$other" "$db" "$port" "$out" 2024-01-01 2024-12-30)"
  awk -v a="$a" -v b="$b" 'BEGIN { print a / b }' >>"$out/ratio"
  echo "pair $i: this $a s, other $b s"
done
echo "median this ÷ other: $(median <"$out/ratio")  (all: $(sort -g "$out/ratio" | tr '\n' ' '))"
