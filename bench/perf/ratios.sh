#!/usr/bin/env bash
# The export's performance ratios, each measured side by side in one run: the two
# sides of a pair run one after the other, pairs interleaved, and the script
# prints minimum, median and maximum of the ratio over the pairs.
# Usage: bench/perf/ratios.sh [BUILD_DIR] [DATA_DIR] [PAIRS]
# Generated databases are kept in DATA_DIR (default /tmp/dotz-bench) between runs.
# WARM_MB=N: see warm_memory in scripts/appserver-lib.sh (the curl figure only).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
data=${2:-/tmp/dotz-bench}
pairs=${3:-5}
bin=$build/bin
mkdir -p "$data"
. scripts/appserver-lib.sh

generate() { # DB ARGS...: a demo database, made once
  local db=$1; shift
  [ -f "$db" ] && return 0
  echo "   generating $db" >&2
  "$bin/krt-appserver" init-demo --db "$db" --seed 1 "$@" >/dev/null 2>&1
}

# timed OUT_PREFIX CMD...: runs CMD, leaves wall seconds and peak KB in files.
timed() {
  local out=$1; shift
  /usr/bin/time -f "%e %M" -o "$out.time" "$@" >/dev/null 2>"$out.err" ||
    { cat "$out.err" >&2; return 1; }
  read -r wall peak <"$out.time"
  echo "$wall" >"$out.wall"; echo "$peak" >"$out.peak"
}

# stats NAME TARGET VALUES...: min, median and max of the values.
stats() {
  local name=$1 target=$2; shift 2
  printf '%s\n' "$@" | sort -g | awk -v n="$name" -v t="$target" '
    { v[NR] = $1 } END {
      m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf "%-58s min %.3f  median %.3f  max %.3f  (target %s, %d pairs)\n", n, v[1], m, v[NR], t, NR }'
}

port=$((20000 + RANDOM % 20000))
serve() { stop_appserver; start_appserver "$bin" "$1" "$port" "$data/server.log"; }

# export_day DB FROM TO OUT_PREFIX [ARGS]: dotz-export into a fresh folder tree
# (fresh_tree: the trees go only when the script ends).
trees=$(mktemp -d "$data/trees.XXXXXX")
trap 'stop_appserver; rm -rf "$trees"' EXIT
export_days() {
  local db=$1 from=$2 to=$3 out=$4 files; shift 4
  files=$(fresh_tree "$trees" "$db")
  sync
  timed "$out" "$bin/dotz-export" --config /dev/null --server "127.0.0.1:$port" \
    --drive "C=$files" --from "$from" --to "$to" "$@"
}

big=$data/day.db
ensure_bench_day "$bin" "$big"

echo "== whole export of the big day ÷ sqlite3 writing the same records; client peak ÷ reply"
serve "$big"
reply=$(curl -s -X POST "http://127.0.0.1:$port/rpc/Krt52410.rdmExportaDotz" \
  -d '{"jsonrpc":"2.0","id":1,"method":"GetPrincipal","params":["T","2024-03-15"]}' \
  | tee "$data/reply.json" | wc -c)
echo "   reply: $reply bytes"
whole=(); memory=()
for _ in $(seq "$pairs"); do
  export_days "$big" 2024-03-15 2024-03-15 "$data/a" --with-515
  rm -f "$data/records.txt"; sync
  /usr/bin/time -f "%e %M" -o "$data/b.time" \
    sqlite3 -separator '|' "$big" <bench/cli/records.sql >"$data/records.txt"
  read -r b _ <"$data/b.time"
  whole+=("$(awk -v a="$(cat "$data/a.wall")" -v b="$b" 'BEGIN { print a / b }')")
  memory+=("$(awk -v p="$(cat "$data/a.peak")" -v r="$reply" 'BEGIN { print p * 1024 / r }')")
  echo "   dotz-export $(cat "$data/a.wall") s, peak $(cat "$data/a.peak") KB; sqlite3 $b s"
done
stats "dotz-export ÷ sqlite3 (whole export)" "≤ 0.5" "${whole[@]}"
stats "client peak memory ÷ reply size" "≤ 1.5" "${memory[@]}"

echo "== whole export of the big day ÷ curl reading the same reply into /dev/null"
request='{"jsonrpc":"2.0","id":1,"method":"GetPrincipal","params":["T","2024-03-15"]}'
wire=(); memory=()
for _ in $(seq "$pairs"); do
  warm_memory "${WARM_MB:-0}"
  timed "$data/c" curl -sf -X POST "http://127.0.0.1:$port/rpc/Krt52410.rdmExportaDotz" -d "$request"
  warm_memory "${WARM_MB:-0}"
  export_days "$big" 2024-03-15 2024-03-15 "$data/a" --with-515
  wire+=("$(awk -v a="$(cat "$data/a.wall")" -v b="$(cat "$data/c.wall")" 'BEGIN { print a / b }')")
  memory+=("$(awk -v p="$(cat "$data/a.peak")" -v r="$reply" 'BEGIN { print p * 1024 / r }')")
  echo "   dotz-export $(cat "$data/a.wall") s, peak $(cat "$data/a.peak") KB; curl $(cat "$data/c.wall") s"
done
stats "dotz-export ÷ curl into /dev/null (whole export)" "≤ 1.5" "${wire[@]}"
stats "client peak memory ÷ reply size (the same runs)" "≤ 1.5" "${memory[@]}"

echo "== reading the reply (envelope + loading) ÷ simdjson On-Demand walking it"
"$bin/bench_reply" "$data/reply.json" "$pairs"
rm -f "$data/reply.json"

echo "== a day of 2x the rows ÷ the 1x day (whole export)"
double=$data/day2x.db
generate "$double" --branches 200 --tills 4 --days 1 --first-day 2024-03-15 --sales-per-day 2000000
twice=()
for _ in $(seq "$pairs"); do
  serve "$double"; export_days "$double" 2024-03-15 2024-03-15 "$data/a" --with-515
  serve "$big"; export_days "$big" 2024-03-15 2024-03-15 "$data/b" --with-515
  twice+=("$(awk -v a="$(cat "$data/a.wall")" -v b="$(cat "$data/b.wall")" 'BEGIN { print a / b }')")
  echo "   2x $(cat "$data/a.wall") s; 1x $(cat "$data/b.wall") s"
done
stats "2x day ÷ 1x day" "≤ 2.1" "${twice[@]}"

echo "== 365 days of a small store ÷ one day holding the same rows (without 515)"
year=$data/year.db; oneday=$data/yearday.db
generate "$year" --branches 3 --days 365 --first-day 2024-01-01 --sales-per-day 400
generate "$oneday" --branches 3 --days 1 --first-day 2024-01-01 --sales-per-day 146000
period=()
for _ in $(seq "$pairs"); do
  serve "$year"; export_days "$year" 2024-01-01 2024-12-30 "$data/a"
  serve "$oneday"; export_days "$oneday" 2024-01-01 2024-01-01 "$data/b"
  period+=("$(awk -v a="$(cat "$data/a.wall")" -v b="$(cat "$data/b.wall")" 'BEGIN { print a / b }')")
  echo "   365 days $(cat "$data/a.wall") s; one day $(cat "$data/b.wall") s"
done
stats "365 days ÷ one day of the same rows" "≤ 2" "${period[@]}"
