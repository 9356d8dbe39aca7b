#!/usr/bin/env bash
# What a switch of servers costs: one day of DB exported by dotz-export through
# one server, and through a list whose first two servers refuse the connection
# (nothing listens on their ports), RUNS times each, interleaved; the medians and
# their difference, the time the two switches took.
# Usage: bench/cli/failover.sh BUILD_DIR DB [RUNS] [DAY]
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=$1/bin
db=$2
runs=${3:-5}
day=${4:-2024-03-15}
work=$(mktemp -d /tmp/failover.XXXXXX)
. scripts/appserver-lib.sh
port=$((20000 + RANDOM % 20000))
trap 'stop_appserver; rm -rf "$work"' EXIT
start_appserver "$bin" "$db" "$port" "$work/server.log"
# Ports nothing listens on: bound once, then let go.
down() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
one() {
  local servers=$1 files
  files=$(fresh_tree "$work" "$db")
  /usr/bin/time -f "%e" -o "$work/time" "$bin/dotz-export" --config /dev/null --server "$servers" \
    --drive "C=$files" --from "$day" --to "$day" --with-515 >/dev/null 2>"$work/err" ||
    { cat "$work/err" >&2; exit 1; }
  cat "$work/time"
}
: >"$work/rows"
for i in $(seq "$runs"); do
  alone=$(one "127.0.0.1:$port")
  listed=$(one "127.0.0.1:$(down),127.0.0.1:$(down),127.0.0.1:$port")
  echo "run $i: one server $alone s; third of three $listed s"
  echo "$alone $listed" >>"$work/rows"
done
grep -c "o dia recomeça" "$work/err" | sed 's/^/switches in the last run: /'
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
a=$(awk '{ print $1 }' "$work/rows" | median)
b=$(awk '{ print $2 }' "$work/rows" | median)
echo "median: one server $a s, third of three $b s; two switches $(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", b - a }') s"
