#!/usr/bin/env bash
# Two server builds side by side on one database: the reply of GetPrincipal for
# each DAY read with curl into a file, its sha256 and the time to its last byte,
# PAIRS times interleaved (base, then new).
# Usage: bench/appserver/replies.sh BASE_SERVER NEW_SERVER DB PAIRS DAY...
set -euo pipefail
base=$1 new=$2 db=$3 pairs=$4
shift 4
out=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$out"' EXIT
. "$(dirname "$0")/../../scripts/appserver-lib.sh"
port=$((20000 + RANDOM % 20000))
start_server "$base" "$db" "$port" /dev/null
pids+=("$APPSERVER_PID")
start_server "$new" "$db" $((port + 1)) /dev/null
pids+=("$APPSERVER_PID")
ticks=$(getconf CLK_TCK)
cpu() { awk -v t="$ticks" '{ printf "%.2f", ($14 + $15) / t }' "/proc/$1/stat"; }
call() { # NAME PORT DAY PID
  local t before
  before=$(cpu "$4")
  t=$(curl -s -o "$out/$1" -w '%{time_total}' \
    -d "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"GetPrincipal\",\"params\":[\"T\",\"$3\"]}" \
    "http://127.0.0.1:$2/rpc/Krt52410.rdmExportaDotz")
  printf '%-4s %s %6.3f s, server CPU %5.2f s, %10d bytes, sha256 %s\n' "$1" "$3" "$t" \
    "$(echo "$(cpu "$4") - $before" | bc)" "$(stat -c %s "$out/$1")" \
    "$(sha256sum "$out/$1" | cut -c1-16)"
}
for day in "$@"; do
  for _ in $(seq "$pairs"); do
    call base "$port" "$day" "${pids[0]}"
    call new $((port + 1)) "$day" "${pids[1]}"
  done
done
