#!/usr/bin/env bash
# One day of DB exported whole by dotz-export against curl reading the same
# reply into /dev/null, as plain runs (no memory warming): PAIRS pairs, curl
# then the export, interleaved. For each export: wall, user and system time,
# peak memory, and the server's CPU time over the same call; then the medians,
# the export ÷ curl ratio and the client's CPU ÷ the server's.
# Its "plot:" line sums the run up for bench/plot-daysize.sh.
# CHECK=1 also compares the last export's files with bench/cli/records.sql.
# Usage: bench/cli/daysize.sh BUILD_DIR DB [PAIRS] [WORK_DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=$1/bin
db=$2
pairs=${3:-5}
base=${4:-/tmp}
# This machine's ext4 has no journal: for five minutes after files are deleted,
# each file created nearby first skips past their inodes, one lookup each. A
# night never follows the deletion of a day's trees, so a run waits out the
# last run's.
removed="$base/.daysize-removed"
if [ -f "$removed" ]; then
  wait=$(($(cat "$removed") + 300 - $(date +%s)))
  if [ "$wait" -gt 0 ]; then
    echo "waiting ${wait} s: the last run's trees were deleted just now"
    sleep "$wait"
  fi
fi
work=$(mktemp -d "$base/daysize.XXXXXX")
. scripts/appserver-lib.sh
port=$((20000 + RANDOM % 20000))
trap 'stop_appserver; rm -rf "$work"; date +%s >"$removed"' EXIT
start_appserver "$bin" "$db" "$port" "$work/server.log"
ticks=$(getconf CLK_TCK)
server_cpu() { awk -v t="$ticks" '{ printf "%.2f", ($14 + $15) / t }' "/proc/$APPSERVER_PID/stat"; }
request='{"jsonrpc":"2.0","id":1,"method":"GetPrincipal","params":["T","2024-03-15"]}'
url="http://127.0.0.1:$port/rpc/Krt52410.rdmExportaDotz"

reply=$(curl -sf -X POST "$url" -d "$request" | wc -c)
echo "reply: $reply bytes; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
: >"$work/rows"
for i in $(seq "$pairs"); do
  sync
  /usr/bin/time -f "%e" -o "$work/curl.time" curl -sf -o /dev/null -X POST "$url" -d "$request"
  files=$(fresh_tree "$work" "$db")
  sync
  before=$(server_cpu)
  /usr/bin/time -f "%e %U %S %M" -o "$work/export.time" "$bin/dotz-export" --config /dev/null \
    --server "127.0.0.1:$port" --drive "C=$files" --from 2024-03-15 --to 2024-03-15 \
    --with-515 >/dev/null 2>"$work/export.err" || { cat "$work/export.err" >&2; exit 1; }
  server=$(awk -v a="$before" -v b="$(server_cpu)" 'BEGIN { printf "%.2f", b - a }')
  read -r wall user sys peak <"$work/export.time"
  c=$(cat "$work/curl.time")
  echo "$wall $c $user $sys $peak $server" >>"$work/rows"
  printf 'pair %d: curl %s s; export %s s (%.3f), user %s s, sys %s s, peak %d MB; server CPU %s s (client ÷ server %.3f)\n' \
    "$i" "$c" "$wall" "$(awk -v a="$wall" -v b="$c" 'BEGIN { print a / b }')" "$user" "$sys" \
    $((peak / 1024)) "$server" "$(awk -v u="$user" -v s="$sys" -v v="$server" 'BEGIN { print (u + s) / v }')"
  # Each tree stays until the end (under WORK_DIR): files made where as many
  # were just deleted cost the file system a search for recently freed inodes
  # that a night never meets.
done
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
col() { awk -v c="$1" '{ print $c }' "$work/rows" | median; }
echo "median: export ÷ curl $(awk '{ print $1 / $2 }' "$work/rows" | median) (all: $(awk '{ printf "%.3f ", $1 / $2 }' "$work/rows"))"
echo "median: export $(col 1) s, curl $(col 2) s, user $(col 3) s, sys $(col 4) s, peak $(($(col 5 | cut -d. -f1) / 1024)) MB (max $(($(awk '{ print $5 }' "$work/rows" | sort -g | tail -1) / 1024)) MB)"
echo "median: client CPU ÷ server CPU $(awk '{ print ($3 + $4) / $6 }' "$work/rows" | median) (all: $(awk '{ printf "%.3f ", ($3 + $4) / $6 }' "$work/rows"))"
echo "files: $(find "$files" -name '*_1.txt' | wc -l); load after: $(cut -d' ' -f1-3 /proc/loadavg)"
# One line for bench/plot-daysize.sh: sales with a DOTZ customer, reply bytes,
# medians of curl and the export (s), the export's median peak (MB), commit, date.
sales=$(sqlite3 "$db" "SELECT COUNT(*) FROM VENDA WHERE DTVENDA = '2024-03-15' AND CDIDCLIENTEDOTZ IS NOT NULL")
echo "plot: $sales $reply $(col 2) $(col 1) $(($(col 5 | cut -d. -f1) / 1024)) $(git rev-parse --short HEAD) $(date -u +%F)"
if [ "${CHECK:-0}" = 1 ]; then
  bench/cli/records-check.sh "$db" "$files" "$work"
fi
