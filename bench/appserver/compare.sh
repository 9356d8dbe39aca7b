#!/usr/bin/env bash
# Two server builds side by side on one database: GetPrincipal("T", DAY) through
# bench_getprincipal against each in turn, PAIRS times, with the server's CPU
# for each call read from /proc around it.
# Usage: bench/appserver/compare.sh BASE_SERVER NEW_SERVER CLIENT DB [PAIRS] [DAY]
set -euo pipefail
base=$1 new=$2 client=$3 db=$4 pairs=${5:-5} day=${6:-2024-03-15}
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
cpu() { awk -v t="$ticks" '{ printf "%.2f", ($14 + $15) / t }' "/proc/$1/stat"; }
call() {
  local name=$1 pid=$2 port=$3 before after t0 t1
  before=$(cpu "$pid")
  t0=$(date +%s.%N)
  "$client" "$port" "$day" T >/dev/null
  t1=$(date +%s.%N)
  after=$(cpu "$pid")
  awk -v n="$name" -v w="$(echo "$t1 - $t0" | bc)" -v c="$(echo "$after - $before" | bc)" \
    'BEGIN { printf "%-4s wall %6.2f s, server CPU %5.2f s\n", n, w, c }'
}
port=$((20000 + RANDOM % 20000))
serve "$base" "$port"
serve "$new" $((port + 1))
for _ in $(seq "$pairs"); do
  call base "${pids[0]}" "$port"
  call new "${pids[1]}" $((port + 1))
done
echo "server peak memory: base $(awk '/VmHWM/ {print $2}' "/proc/${pids[0]}/status") KB," \
  "new $(awk '/VmHWM/ {print $2}' "/proc/${pids[1]}/status") KB"
