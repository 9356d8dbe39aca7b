#!/usr/bin/env bash
# A throwaway PostgreSQL server on loopback, for the tests.
#   scripts/pg-test.sh start DIR   creates DIR, starts the server, prints its URI
#   scripts/pg-test.sh restart DIR stops it (ending every connection) and starts it again
#   scripts/pg-test.sh stop DIR    stops it and removes DIR
# Every role connects without a password, except dotz_password (created by the
# tests that need it), which must give its password over TCP.
# initdb refuses to run as root, so as root the server runs as the "postgres"
# system user (created by the Debian package).
set -euo pipefail
cmd=${1:?start or stop}
dir=${2:?folder}
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ -z "$bin" ]; then
  echo "pg-test: no PostgreSQL server in /usr/lib/postgresql (scripts/install.sh installs it)" >&2
  exit 1
fi
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

case $cmd in
start)
  mkdir -p "$dir"
  [ "$(id -u)" -eq 0 ] && chown postgres: "$dir"
  as_owner "$bin/initdb" -D "$dir/data" -U dotz --auth=trust --no-locale -E UTF8 \
    >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
  # The first line that matches decides.
  hba=$dir/data/pg_hba.conf
  { echo "host all dotz_password 127.0.0.1/32 scram-sha-256"; cat "$hba"; } >"$hba.new"
  mv "$hba.new" "$hba"
  [ "$(id -u)" -eq 0 ] && chown postgres: "$hba"
  # A free port: try a few at random; pg_ctl fails when the port is taken.
  for attempt in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 40000))
    if as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
        -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c fsync=off -c synchronous_commit=off -c full_page_writes=off" \
        start >/dev/null 2>&1; then
      as_owner "$bin/createdb" -h 127.0.0.1 -p "$port" -U dotz dotz
      echo "postgresql://dotz@127.0.0.1:$port/dotz"
      exit 0
    fi
  done
  echo "pg-test: the server did not start; see $dir/server.log" >&2
  cat "$dir/server.log" >&2 || true
  exit 1
  ;;
restart)
  # pg_ctl starts it again with the options (and port) it was started with.
  as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -m fast -w -t 30 restart >/dev/null
  ;;
stop)
  if [ -d "$dir/data" ]; then
    as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  rm -rf "$dir"
  ;;
*)
  echo "usage: $0 start|restart|stop DIR" >&2
  exit 2
  ;;
esac
