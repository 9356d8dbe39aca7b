#!/usr/bin/env bash
# Two server builds side by side on one database: DAYS consecutive GetPrincipal
# calls from FIRST on one kept-alive connection (curl), against each server in
# turn, PAIRS times. Prints wall and server CPU per call (the CPU read from /proc
# around each run) and the sha256 of all the replies, which must be the same.
# Usage: bench/appserver/calls.sh BASE_SERVER NEW_SERVER DB [PAIRS] [FIRST] [DAYS] [SELECTOR]
set -euo pipefail
base=$1 new=$2 db=$3 pairs=${4:-5} first=${5:-2024-01-01} days=${6:-365} selector=${7:-T}
ticks=$(getconf CLK_TCK)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
. "$(dirname "$0")/../../scripts/appserver-lib.sh"
serve() {
  local rc=0
  start_server "$1" "$db" "$2" /dev/null || rc=$?
  pids+=("$APPSERVER_PID")
  return "$rc"
}
# The selector as a JSON string: its quotes are plain, no backslash.
calls() {
  local port=$1 i
  for ((i = 0; i < days; i++)); do
    ((i)) && echo --next
    printf '%s\n' -s -X POST "http://127.0.0.1:$port/rpc/Krt52410.rdmExportaDotz" -d \
      "{\"jsonrpc\":\"2.0\",\"id\":$((i + 1)),\"method\":\"GetPrincipal\",\"params\":[\"$selector\",\"$(date -u -d "$first + $i day" +%F)\"]}"
  done
}
cpu() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
run() {
  local name=$1 pid=$2 args=$3 before t0 t1 after hash
  before=$(cpu "$pid")
  t0=$(date +%s.%N)
  hash=$(xargs -d '\n' curl <"$args" | sha256sum | cut -c1-16)
  t1=$(date +%s.%N)
  after=$(cpu "$pid")
  awk -v n="$name" -v w="$(echo "$t1 - $t0" | bc)" -v c="$((after - before))" -v t="$ticks" \
    -v d="$days" -v h="$hash" 'BEGIN {
      printf "%-4s %d calls: wall %6.3f s (%5.2f ms a call), server CPU %6.2f s (%5.2f ms a call), sha256 %s\n",
        n, d, w, 1000 * w / d, c / t, 1000 * c / t / d, h }'
}
port=$((20000 + RANDOM % 20000))
serve "$base" "$port"
serve "$new" $((port + 1))
work=$(mktemp -d)
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
calls "$port" >"$work/base"
calls $((port + 1)) >"$work/new"
for _ in $(seq "$pairs"); do
  run base "${pids[0]}" "$work/base"
  run new "${pids[1]}" "$work/new"
done
echo "server peak memory: base $(awk '/VmHWM/ {print $2}' "/proc/${pids[0]}/status") KB," \
  "new $(awk '/VmHWM/ {print $2}' "/proc/${pids[1]}/status") KB"
