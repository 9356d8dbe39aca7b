#!/usr/bin/env bash
# Where the big day's export spends its time after the reply's last byte: the
# export under `perf trace` (reads from the server, file creations, flushes,
# renames), summarised by tail.py. perf trace costs little per system call, unlike
# strace, whose stops on the 70,000 reads of the reply double the run.
# Usage: bench/cli/tail.sh BIN_DIR [DATA_DIR] [RUNS]   (BIN_DIR holds dotz-export)
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=$1
data=${2:-/tmp/dotz-bench}
runs=${3:-3}
db=$data/day.db
. scripts/appserver-lib.sh
server_bin=$bin
[ -x "$bin/krt-appserver" ] || server_bin=build/bin
ensure_bench_day "$server_bin" "$db"
port=$((20000 + RANDOM % 20000))
out=$(mktemp -d "$data/tail.XXXXXX")
trap 'stop_appserver; rm -rf "$out"' EXIT
start_appserver "$server_bin" "$db" "$port" "$data/server.log"
for i in $(seq "$runs"); do
  files=$(fresh_tree "$out" "$db")
  sync
  perf trace -m 128M -T -e openat,fsync,rename,recvfrom,read,exit_group -o "$out/trace" \
    "$bin/dotz-export" --config /dev/null --server "127.0.0.1:$port" --drive "C=$files" \
    --from 2024-03-15 --to 2024-03-15 --with-515 >/dev/null
  echo "== run $i"
  python3 bench/cli/tail.py "$out/trace"
done
