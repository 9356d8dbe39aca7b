#!/usr/bin/env bash
# The main job end to end on a fresh Debian machine: installs what is needed,
# builds, creates the demo SQLite database, starts the application server on
# loopback, exports a demo week of DOTZ files into demo/out with dotz-export,
# prints what it wrote, and stops the server.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${SKIP_INSTALL:-}" = 1 ] || scripts/install.sh
scripts/build.sh build
bin=$PWD/build/bin
demo=$PWD/demo
port=${DEMO_PORT:-18211}
rm -rf "$demo"
mkdir -p "$demo/out"

"$bin/krt-appserver" init-demo --db "$demo/backoffice.sqlite" --branches 4 \
  --first-day 2024-03-11 --days 7 --sales-per-day 400 >/dev/null
# Each branch's folder is C:\DOTZ\LOJAnnnn\ on the server; drive C is demo/out here.
for b in $(sqlite3 "$demo/backoffice.sqlite" "SELECT CDFILIAL FROM FILIAL"); do
  mkdir -p "$demo/out/DOTZ/LOJA$b"
done
cat > "$demo/krt.ini" <<INI
[server]
host = 127.0.0.1
port = $port

[database]
driver = sqlite
name = $demo/backoffice.sqlite

[drives]
C = $demo/out
INI

. scripts/appserver-lib.sh
trap stop_appserver EXIT
start_appserver "$bin" "$demo/backoffice.sqlite" "$port" "$demo/server.log"

"$bin/dotz-export" --config "$demo/krt.ini" --from 2024-03-11 --to 2024-03-17 --all --with-515

echo
echo "Files written under $demo/out:"
# sed reads to the end: a head that stops early would end the pipe (and, with
# pipefail, the script) with SIGPIPE whenever the list outgrows one write.
find "$demo/out" -name '*_1.txt' | sort | sed -n "1,12s|$demo/out/||p"
echo "... $(find "$demo/out" -name '*_1.txt' | wc -l) files in all"
echo
echo "Records per type:"
for t in 500 510 515; do
  printf '  %s: %s records in %s files\n' "$t" \
    "$(find "$demo/out" -name "*_${t}_1.txt" -exec cat {} + | grep -c '' || true)" \
    "$(find "$demo/out" -name "*_${t}_1.txt" | wc -l)"
done
echo
echo "First lines of a 500 file (Windows-1252 shown as UTF-8):"
head -n 3 "$(find "$demo/out" -name '*_500_1.txt' | sort | sed -n 1p)" | iconv -f CP1252 -t UTF-8 | tr -d '\r'
