# Sourced by the scripts that run an application server for a while.
# start_appserver BIN_DIR DB PORT LOG [OPTION...]: starts `krt-appserver serve` in the
# background (its log into LOG), sets APPSERVER_PID, and returns once the server
# answers; fails, showing the log, when it stops or stays silent for 10 s.
start_appserver() {
  start_server "$1/krt-appserver" "$2" "$3" "$4" "${@:5}"
}

# start_server SERVER DB PORT LOG [OPTION...]: the same for a given krt-appserver
# program (benchmarks that compare two builds run one of each), with any more
# options of `serve`.
start_server() {
  local server=$1 db=$2 port=$3 log=$4
  "$server" serve --db "$db" --port "$port" "${@:5}" >"$log" 2>&1 &
  APPSERVER_PID=$!
  for _ in $(seq 100); do
    curl -sf "http://127.0.0.1:$port/rpc/Krt52410.rdmExportaDotz" >/dev/null && return 0
    if ! kill -0 "$APPSERVER_PID" 2>/dev/null; then
      cat "$log" >&2
      return 1
    fi
    sleep 0.1
  done
  echo "krt-appserver did not answer on port $port" >&2
  return 1
}

# ensure_bench_day BIN_DIR DB: the benchmarks' day (2024-03-15: 200 branches,
# 1,000,000 sales with a DOTZ customer), generated once into DB and kept.
ensure_bench_day() {
  local bin=$1 db=$2
  [ -f "$db" ] && return 0
  echo "== generating the day (once; kept in $db)"
  /usr/bin/time -f "generation: %e s, peak %M KB" "$bin/krt-appserver" init-demo --db "$db" \
    --branches 200 --tills 4 --days 1 --first-day 2024-03-15 --sales-per-day 1000000 --seed 1 \
    2>&1 | grep -v '^2024-'
}

# stop_appserver: stops the server start_appserver started, if it runs.
stop_appserver() {
  [ -n "${APPSERVER_PID:-}" ] || return 0
  kill "$APPSERVER_PID" 2>/dev/null || true
  wait "$APPSERVER_PID" 2>/dev/null || true
  APPSERVER_PID=
}

# fresh_tree OUT DB: a new folder under OUT with a folder per branch of DB; prints it.
# Earlier trees stay until the caller removes OUT: on an ext4 without a journal
# (this machine's) every file created skips the inodes freed in the last minutes,
# so removing the last run's files just before would slow this run's creates.
fresh_tree() {
  local files
  files=$(mktemp -d "$1/files.XXXXXX")
  for b in $(sqlite3 "$2" "SELECT CDFILIAL FROM FILIAL"); do mkdir -p "$files/DOTZ/LOJA$b"; done
  echo "$files"
}

# warm_memory MB: touches MB of fresh memory and lets it go (0: nothing). This
# machine's guest hands memory it freed back to its host, and the next first
# touch of a page costs microseconds; a benchmark that wants its program's own
# cost rather than that asks for the pages back before each timed command.
warm_memory() {
  [ "${1:-0}" -gt 0 ] || return 0
  python3 -c 'import sys
n = int(sys.argv[1]) << 20
m = bytearray(n)
m[::4096] = b"\x01" * (n // 4096)' "$1"
}

# export_wall BIN_DIR DB PORT OUT FROM TO: dotz-export of the days, with 515, into a
# fresh tree under OUT; prints wall seconds and peak KB.
export_wall() {
  local bin=$1 db=$2 port=$3 out=$4 from=$5 to=$6 files
  files=$(fresh_tree "$out" "$db")
  sync
  /usr/bin/time -f "%e %M" -o "$out/export.time" "$bin/dotz-export" --config /dev/null \
    --server "127.0.0.1:$port" --drive "C=$files" --from "$from" --to "$to" \
    --with-515 >/dev/null
  cat "$out/export.time"
}

# median: the median of the numbers on standard input, one a line.
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
