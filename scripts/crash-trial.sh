#!/usr/bin/env bash
# Crash trials of the DOTZ writer. dotz-export writes a generated period and is
# killed with SIGKILL at a random moment, TRIALS times: of the write phase when
# the period is one day, of the whole run when it is longer. After each kill
# every DOTZ file must be absent or byte-identical to the clean run's, each branch of a
# day must have all its files or none, and every
# day before the last one with a file must be complete; then the next run must
# finish, leave no temporary, and give exactly the clean run's files. Not part
# of the test command.
# Last, a day refused at its end (its last branch without a partner code) must
# leave nothing: neither the files staged while its rows came, nor folders.
# Usage: scripts/crash-trial.sh [BUILD_DIR] [TRIALS] [DATA_DIR]
# The period: CRASH_DAYS days (1) from 2024-03-15, CRASH_BRANCHES branches (50),
# CRASH_SALES sales a day (100000), generated once into DATA_DIR and kept (use
# another DATA_DIR for other sizes).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
trials=${2:-300}
data=${3:-/var/tmp/dotz-crash}
bin=$(cd "$build/bin" && pwd)
branches=${CRASH_BRANCHES:-50}
sales=${CRASH_SALES:-100000}
days=${CRASH_DAYS:-1}
last=$(date -d "2024-03-15 + $((days - 1)) days" +%F)
db=$data/day.db
mkdir -p "$data"
if [ ! -f "$db" ]; then
  echo "== generating the day (once; kept in $db)"
  "$bin/krt-appserver" init-demo --db "$db" --branches "$branches" --tills 4 --days "$days" \
    --first-day 2024-03-15 --sales-per-day "$sales" --seed 1 >/dev/null
fi

. scripts/appserver-lib.sh
port=$((20000 + RANDOM % 20000))
trap stop_appserver EXIT
start_appserver "$bin" "$db" "$port" "$data/server.log"

codes=$(sqlite3 "$db" "SELECT CDFILIAL FROM FILIAL")
fresh() {
  rm -rf "$1"
  for b in $codes; do mkdir -p "$1/DOTZ/LOJA$b"; done
}
start_export() {
  "$bin/dotz-export" --config /dev/null --server "127.0.0.1:$port" --drive "C=$1" \
    --from 2024-03-15 --to "$last" --with-515 >/dev/null 2>"$data/export.err" &
  EXPORT_PID=$!
}
# A DOTZ file or a temporary of one has appeared: the write phase has begun.
writing() { [ -n "$(find "$1/DOTZ" -name '*_1.txt*' -print -quit)" ]; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
# Waits for the write phase of the export started last; returns its start (ms).
await_writing() {
  until writing "$1"; do
    kill -0 "$EXPORT_PID" 2>/dev/null || break
  done
  now_ms
}

echo "== clean run"
fresh "$data/clean"
start=$(now_ms)
start_export "$data/clean"
first=$(await_writing "$data/clean")
wait "$EXPORT_PID" || { cat "$data/export.err" >&2; exit 1; }
end=$(now_ms)
window=$((end - first))
total_files=$(find "$data/clean" -type f | wc -l)
echo "   $total_files files, $(du -sm "$data/clean" | cut -f1) MB; run $((end - start)) ms, write phase about $window ms"
[ "$window" -gt 0 ] || window=1

# The days of the clean run's files, in order (files are named YYYYMMDD_...).
clean_days=$(find "$data/clean" -type f -printf '%f\n' | cut -c1-8 | sort -u)
failures=0 none=0 some=0 all=0 temps_seen=0 torn=0 days_missing=0 split=0
fail() { echo "trial $1: $2" >&2; failures=$((failures + 1)); }
for i in $(seq "$trials"); do
  fresh "$data/trial"
  start_export "$data/trial"
  if [ "$days" -gt 1 ]; then
    span=$((end - start))
  else
    await_writing "$data/trial" >/dev/null
    span=$window
  fi
  delay=$((RANDOM * 32768 + RANDOM))
  delay=$((delay % (span + 1)))
  sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
  kill -9 "$EXPORT_PID" 2>/dev/null || true
  wait "$EXPORT_PID" 2>/dev/null || true

  finals=0
  while IFS= read -r -d '' f; do
    name=${f#"$data/trial/"}
    case ${name##*/} in
      .*) temps_seen=$((temps_seen + 1)); continue ;;
    esac
    finals=$((finals + 1))
    cmp -s "$f" "$data/clean/$name" || { torn=$((torn + 1)); fail "$i" "$name differs from the clean run's"; }
  done < <(find "$data/trial" -type f -print0)
  # Every day before the latest one that has a file is complete.
  latest=$(find "$data/trial" -type f -not -name '.*' -printf '%f\n' | cut -c1-8 | sort -u | tail -1)
  for d in $clean_days; do
    [ -n "$latest" ] && [ "$d" -lt "$latest" ] || break
    want=$(find "$data/clean" -type f -name "${d}_*" | wc -l)
    got=$(find "$data/trial" -type f -name "${d}_*" | wc -l)
    [ "$want" -eq "$got" ] || { days_missing=$((days_missing + 1)); fail "$i" "day $d has $got of its $want files"; }
  done
  # A branch of a day has all its files (500, 510, 515) or none: names are day_partner_branch_type.
  perBranch() { find "$1" -type f -not -name '.*' -printf '%f\n' | awk -F_ '{ print $1 "_" $3 }' | sort | uniq -c | awk '{ print $2, $1 }'; }
  halves=$(join <(perBranch "$data/trial") <(perBranch "$data/clean") | awk '$2 != $3' | wc -l)
  [ "$halves" -eq 0 ] || { split=$((split + halves)); fail "$i" "$halves branches hold part of a day's files"; }
  if [ "$finals" -eq 0 ]; then none=$((none + 1))
  elif [ "$finals" -eq "$total_files" ]; then all=$((all + 1))
  else some=$((some + 1)); fi

  start_export "$data/trial"
  wait "$EXPORT_PID" || fail "$i" "the next run failed: $(cat "$data/export.err")"
  left=$(find "$data/trial" -type f -name '.*' | wc -l)
  [ "$left" -eq 0 ] || fail "$i" "the next run left $left temporaries"
  diff -rq "$data/clean" "$data/trial" >/dev/null || fail "$i" "the next run's files differ from the clean run's"
  if [ $((i % 25)) -eq 0 ]; then echo "   $i trials, $failures failures"; fi
done

echo "== $trials trials: killed with no file written $none, with $some of $total_files files written, after all $all;"
echo "   temporaries found after the kills: $temps_seen (all removed by the next run);"
echo "   torn files: $torn; branches with part of a day's files: $split; earlier days missing files: $days_missing; failures: $failures"

# A day refused once its reply is in: its last branch has no partner code, so
# the other branches' files are staged while the rows stream, then dropped.
echo "== a refused day: the last branch without its partner code"
stop_appserver
cp "$db" "$data/refused.db"
last_branch=$(sqlite3 "$data/refused.db" "SELECT max(CDFILIAL) FROM FILIAL")
sqlite3 "$data/refused.db" "UPDATE FILIAL SET CDINTEGRADOTZ = NULL WHERE CDFILIAL = '$last_branch'"
start_appserver "$bin" "$data/refused.db" "$port" "$data/server.log"
fresh "$data/refused"
start_export "$data/refused"
staged=0
while kill -0 "$EXPORT_PID" 2>/dev/null; do
  n=$(find "$data/refused" -type f -name '.*' | wc -l)
  [ "$n" -gt "$staged" ] && staged=$n
  sleep 0.05
done
status=0
wait "$EXPORT_PID" || status=$?
left=$(find "$data/refused" -type f | wc -l)
made=$(find "$data/refused" -mindepth 3 -type d | wc -l)
echo "   exit $status: $(head -c 200 "$data/export.err")"
echo "   staged files seen while it ran: up to $staged; files left: $left; folders left: $made"
[ "$status" -eq 3 ] && [ "$staged" -gt 0 ] && [ "$left" -eq 0 ] && [ "$made" -eq 0 ] ||
  fail refused "the refused day left files or folders, or staged nothing"
rm -f "$data/refused.db"
[ "$failures" -eq 0 ]
