#!/usr/bin/env bash
# Checks that the DOTZ files of 2024-03-15 under FILES hold exactly the records
# that bench/cli/records.sql formats from the same database, normalised as the
# files write them: texts in Windows-1252, and a plain number that is whole
# without its ",0" (SQL's "%!.15g" keeps it). The files are read in the order
# the SQL gives its records (500, 510, 515; branch by branch); should that
# differ, the two sets of records are compared sorted.
# Usage: bench/cli/records-check.sh DB FILES [WORK_DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."
db=$1
files=$2
work=$(mktemp -d "${3:-/tmp}/records-check.XXXXXX")
trap 'rm -rf "$work"' EXIT

sqlite3 -separator '|' "$db" <bench/cli/records.sql | iconv -f UTF-8 -t WINDOWS-1252 |
  LC_ALL=C awk 'BEGIN { FS = OFS = "|" }
    $1 == "500" { sub(/,0\r$/, "\r", $13) }
    $1 == "510" { sub(/,0$/, "", $10); sub(/,0\r$/, "\r", $14) }
    $1 == "515" { sub(/,0$/, "", $11) }
    { print }' >"$work/sql.txt"

# The files by record type, then branch (the fourth piece of their names).
find "$files" -name '*_1.txt' -printf '%f %p\n' |
  LC_ALL=C awk '{ split($1, n, "_"); print n[4], n[3], $2 }' | LC_ALL=C sort -k1,1 -k2,2 |
  cut -d' ' -f3- >"$work/list"
: >"$work/files.txt"
while read -r f; do cat "$f"; done <"$work/list" >"$work/files.txt"

echo "files: $(wc -l <"$work/list"), records: $(wc -l <"$work/files.txt"), $(stat -c %s "$work/files.txt") bytes"
echo "SQL:   records: $(wc -l <"$work/sql.txt"), $(stat -c %s "$work/sql.txt") bytes"
if cmp -s "$work/files.txt" "$work/sql.txt"; then
  echo "same records, in the same order"
  exit 0
fi
LC_ALL=C sort -T "$work" -o "$work/files.sorted" "$work/files.txt"
LC_ALL=C sort -T "$work" -o "$work/sql.sorted" "$work/sql.txt"
if cmp -s "$work/files.sorted" "$work/sql.sorted"; then
  echo "same records (in another order)"
  exit 0
fi
echo "records differ: only in the files $(LC_ALL=C comm -23 "$work/files.sorted" "$work/sql.sorted" | wc -l), only in SQL $(LC_ALL=C comm -13 "$work/files.sorted" "$work/sql.sorted" | wc -l); first:"
LC_ALL=C comm -3 "$work/files.sorted" "$work/sql.sorted" | head -n 4 | cat -A | cut -c1-200
exit 1
