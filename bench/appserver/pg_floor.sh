#!/usr/bin/env bash
# The PostgreSQL floor of a day's reply: the server's own queries of a
# GetPrincipal call (bench_pg_queries), in its transaction, through
# `psql` as COPY (...) TO STDOUT into /dev/null, against the server's reply to
# curl into /dev/null, on the same database; runs interleaved, medians compared.
# CPU: the client's (psql, curl), the database's (every process of the cluster)
# and the application server's. The database must be on this machine.
# Usage: bench/appserver/pg_floor.sh BUILD_DIR URI DAY [RUNS] [SELECTOR]
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=${1:?BUILD_DIR}/bin
uri=${2:?URI}
day=${3:?DAY}
runs=${4:-3}
selector=${5:-T}
. scripts/appserver-lib.sh
work=$(mktemp -d)
trap 'stop_appserver; rm -rf "$work"' EXIT

"$bin/bench_pg_queries" "$day" "$selector" >"$work/floor.sql"
ticks=$(getconf CLK_TCK)
data=$(psql -X -Atc "SHOW data_directory" "$uri")
postmaster=$(head -n 1 "$data/postmaster.pid" 2>/dev/null || true)
[ -n "$postmaster" ] || { echo "pg_floor: the database must run on this machine (as a superuser's URI)" >&2; exit 1; }
# Every process of the cluster, the ended ones through the postmaster's counts.
cluster_cpu() {
  local sum
  sum=$(awk '{ print $14 + $15 + $16 + $17 }' "/proc/$postmaster/stat")
  for p in $(pgrep -P "$postmaster"); do
    sum=$((sum + $(awk '{ print $14 + $15 }' "/proc/$p/stat" 2>/dev/null || echo 0)))
  done
  echo "$sum"
}
# Until the cluster has no more processes than before (psql's backend has ended).
settle() {
  for _ in $(seq 50); do
    [ "$(pgrep -c -P "$postmaster")" -le "$1" ] && return 0
    sleep 0.1
  done
}
process_cpu() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
secs() { awk -v a="$1" -v b="$2" -v t="$ticks" 'BEGIN { printf "%.2f", (b - a) / t }'; }

port=$((20000 + RANDOM % 20000))
start_appserver "$bin" "$uri" "$port" "$work/server.log"
body='{"jsonrpc":"2.0","id":1,"method":"GetPrincipal","params":['"$(printf '%s' "$selector" | sed 's/"/\\"/g; s/.*/"&"/')"',"'"$day"'"]}'

echo "== $day, selector $selector, $runs runs each, interleaved; load: $(cut -d' ' -f1-3 /proc/loadavg)"
for i in $(seq "$runs"); do
  n0=$(pgrep -c -P "$postmaster")
  d0=$(cluster_cpu)
  /usr/bin/time -f "%e %U %S" -o "$work/psql.time" psql -X -q -v ON_ERROR_STOP=1 -f "$work/floor.sql" "$uri" >/dev/null
  settle "$n0"
  d1=$(cluster_cpu)
  read -r wall user sys <"$work/psql.time"
  echo "   COPY floor: $wall s wall, psql $(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }') s CPU, database $(secs "$d0" "$d1") s CPU"
  echo "$wall" >>"$work/floor.walls"

  d0=$(cluster_cpu)
  s0=$(process_cpu "$APPSERVER_PID")
  /usr/bin/time -f "%U %S" -o "$work/curl.time" curl -s -o /dev/null -w '%{time_total} %{size_download}\n' \
    -X POST -d "$body" "http://127.0.0.1:$port/rpc/Krt52410.rdmExportaDotz" >"$work/curl.out"
  sleep 0.3
  d1=$(cluster_cpu)
  s1=$(process_cpu "$APPSERVER_PID")
  read -r wall bytes <"$work/curl.out"
  read -r user sys <"$work/curl.time"
  echo "   server:     $wall s wall, $bytes bytes, curl $(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }') s CPU, database $(secs "$d0" "$d1") s CPU, krt-appserver $(secs "$s0" "$s1") s CPU"
  echo "$wall" >>"$work/server.walls"
done
floor=$(median <"$work/floor.walls")
server=$(median <"$work/server.walls")
echo "   medians: floor $floor s, server $server s: server ÷ floor $(awk -v a="$server" -v b="$floor" 'BEGIN { printf "%.2f", a / b }'); load now: $(cut -d' ' -f1-3 /proc/loadavg)"
grep GetPrincipal "$work/server.log" | tail -n 1 | sed 's/^/   server log: /'
