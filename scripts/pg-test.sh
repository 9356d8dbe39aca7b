#!/usr/bin/env bash
# A throwaway PostgreSQL server on loopback, for the tests.
#   scripts/pg-test.sh start DIR   creates DIR, starts the server, prints its URI
#   scripts/pg-test.sh standby DIR PRIMARY
#                                  a hot standby of the server in PRIMARY (pg_basebackup -R),
#                                  started in DIR; prints its URI. It cancels a query that
#                                  holds up its replay at once (max_standby_streaming_delay=0).
#   scripts/pg-test.sh pooler DIR SERVER
#                                  PgBouncer in transaction mode in front of the server in
#                                  SERVER, started in DIR; prints its URI. Two server
#                                  connections for all its clients, opened with another
#                                  DateStyle and client encoding than the clients ask for.
#   scripts/pg-test.sh restart DIR stops it (ending every connection) and starts it again
#   scripts/pg-test.sh stop DIR    stops it and removes DIR
# Every role connects without a password, except dotz_password (created by the
# tests that need it), which must give its password over TCP.
# initdb refuses to run as root, so as root the server runs as the "postgres"
# system user (created by the Debian package).
set -euo pipefail
pgbouncer=/usr/sbin/pgbouncer
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

# Starts the server of DIR/data on a free port and prints the port: try a few at
# random; pg_ctl fails when the port is taken.
launch() {
  local dir=$1 extra=${2:-} port
  for attempt in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 40000))
    if as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
        -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c fsync=off -c synchronous_commit=off -c full_page_writes=off $extra" \
        start >/dev/null 2>&1; then
      echo "$port"
      return 0
    fi
  done
  echo "pg-test: the server did not start; see $dir/server.log" >&2
  cat "$dir/server.log" >&2 || true
  return 1
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
  port=$(launch "$dir")
  as_owner "$bin/createdb" -h 127.0.0.1 -p "$port" -U dotz dotz
  echo "postgresql://dotz@127.0.0.1:$port/dotz"
  ;;
standby)
  primary=${3:?PRIMARY_DIR}
  primary_port=$(sed -n 4p "$primary/data/postmaster.pid")
  mkdir -p "$dir"
  [ "$(id -u)" -eq 0 ] && chown postgres: "$dir"
  as_owner "$bin/pg_basebackup" -h 127.0.0.1 -p "$primary_port" -U dotz -D "$dir/data" \
    -R -X stream -c fast >"$dir/basebackup.log" 2>&1 || { cat "$dir/basebackup.log" >&2; exit 1; }
  port=$(launch "$dir" "-c max_standby_streaming_delay=0")
  echo "postgresql://dotz@127.0.0.1:$port/dotz"
  ;;
pooler)
  server=${3:?SERVER_DIR}
  if [ ! -x "$pgbouncer" ]; then
    echo "pg-test: no $pgbouncer (scripts/install.sh installs Debian's pgbouncer)" >&2
    exit 1
  fi
  server_port=$(sed -n 4p "$server/data/postmaster.pid")
  mkdir -p "$dir"
  [ "$(id -u)" -eq 0 ] && chown postgres: "$dir"
  echo '"dotz" ""' >"$dir/users.txt"
  for _ in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 40000))
    cat >"$dir/pgbouncer.ini" <<EOF
[databases]
dotz = host=127.0.0.1 port=$server_port dbname=dotz datestyle='SQL, DMY' client_encoding=LATIN1
[pgbouncer]
listen_addr = 127.0.0.1
listen_port = $port
unix_socket_dir =
auth_type = trust
auth_file = $dir/users.txt
pool_mode = transaction
default_pool_size = 2
max_client_conn = 200
logfile = $dir/pgbouncer.log
pidfile = $dir/pgbouncer.pid
EOF
    if as_owner "$pgbouncer" -d -q "$dir/pgbouncer.ini" 2>>"$dir/start.log"; then
      # -d returns before it listens, and before its pid is written: wait until
      # a query goes through, or until it has ended.
      pid=
      for _ in $(seq 50); do
        if "$bin/psql" -XAtq -h 127.0.0.1 -p "$port" -U dotz -c 'SELECT 1' dotz >/dev/null 2>&1; then
          echo "postgresql://dotz@127.0.0.1:$port/dotz"
          exit 0
        fi
        pid=$(cat "$dir/pgbouncer.pid" 2>/dev/null || true)
        if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then pid=; break; fi
        sleep 0.1
      done
      if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
    fi
  done
  echo "pg-test: PgBouncer did not start:" >&2
  cat "$dir/start.log" "$dir/pgbouncer.log" >&2 || true
  exit 1
  ;;
restart)
  # pg_ctl starts it again with the options (and port) it was started with.
  as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -m fast -w -t 30 restart >/dev/null
  ;;
stop)
  if [ -s "$dir/pgbouncer.pid" ]; then
    pid=$(cat "$dir/pgbouncer.pid")
    kill "$pid" 2>/dev/null || true
    while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
  fi
  if [ -d "$dir/data" ]; then
    as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  rm -rf "$dir"
  ;;
*)
  echo "usage: $0 start|restart|stop DIR, or $0 standby|pooler DIR SERVER_DIR" >&2
  exit 2
  ;;
esac
