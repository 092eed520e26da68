#!/usr/bin/env bash
# A private, throwaway MariaDB server: its own data directory, loopback only,
# a free TCP port, no system service.
#
#   mariadb.sh start DIR [SCHEMA]   start a server whose state lives in DIR; when
#                                   SCHEMA is given, load it into the database
#   mariadb.sh stop DIR             stop that server and remove its data
#
# DIR/env holds what clients need, as shell assignments:
#   LS_DB_HOST LS_DB_PORT LS_DB_USER LS_DB_PASS LS_DB_NAME LS_DB_PID LS_DB_DATA
# The account may create and drop databases, so tests can make a clean one each.
set -euo pipefail

# Configuration values are read lower-cased by the server, so the account's
# name and password are lower case.
DB_USER=vessik
DB_PASS=vessikpw
DB_NAME=vessik

free_port() {
  python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])' 2>/dev/null \
    || shuf -i 20000-60000 -n 1
}

client() {  # runs the mariadb client against the server described in $dir/env
  # shellcheck disable=SC1091
  . "$dir/env"
  mariadb --no-defaults -h127.0.0.1 -P"$LS_DB_PORT" -u"$DB_USER" -p"$DB_PASS" "$@"
}

start_once() {
  data=$(mktemp -d /tmp/lsdb.XXXXXX)
  port=$(free_port)
  opts=(--skip-name-resolve --innodb-log-file-size=8M --innodb-buffer-pool-size=64M
        --innodb-flush-log-at-trx-commit=2
        --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci)
  cat > "$data/init.sql" <<SQL
FLUSH PRIVILEGES;
CREATE DATABASE $DB_NAME;
CREATE USER '$DB_USER'@'127.0.0.1' IDENTIFIED BY '$DB_PASS';
GRANT ALL PRIVILEGES ON *.* TO '$DB_USER'@'127.0.0.1';
SQL
  mariadb-install-db --no-defaults --user=root --datadir="$data/data" \
    --auth-root-authentication-method=normal --skip-test-db \
    --extra-file="$data/init.sql" "${opts[@]}" >"$data/install.log" 2>&1 \
    || { cat "$data/install.log" >&2; return 1; }
  setsid mariadbd --no-defaults --user=root --datadir="$data/data" \
    --bind-address=127.0.0.1 --port="$port" --socket="$data/mysqld.sock" \
    --pid-file="$data/mysqld.pid" --log-error="$data/error.log" \
    --skip-log-bin --max-connections=2000 "${opts[@]}" </dev/null >/dev/null 2>&1 &
  pid=$!
  cat > "$dir/env" <<ENV
LS_DB_HOST=127.0.0.1
LS_DB_PORT=$port
LS_DB_USER=$DB_USER
LS_DB_PASS=$DB_PASS
LS_DB_NAME=$DB_NAME
LS_DB_PID=$pid
LS_DB_DATA=$data
ENV
  for _ in $(seq 400); do
    # Only our own server counts: another one may answer on a port we thought free.
    if [ "$(client -NBe 'SELECT @@socket' 2>/dev/null)" = "$data/mysqld.sock" ]; then
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  tail -5 "$data/error.log" >&2 || true
  kill -TERM "$pid" 2>/dev/null || true
  rm -rf "$data" "$dir/env"
  return 1
}

stop() {
  [ -f "$dir/env" ] || return 0
  # shellcheck disable=SC1091
  . "$dir/env"
  if kill -TERM "$LS_DB_PID" 2>/dev/null; then
    for _ in $(seq 600); do
      kill -0 "$LS_DB_PID" 2>/dev/null || break
      sleep 0.05
    done
  fi
  rm -rf "$LS_DB_DATA" "$dir/env"
}

cmd=${1:-}
dir=${2:-}
[ -n "$cmd" ] && [ -n "$dir" ] || { echo "usage: $0 start|stop DIR [SCHEMA]" >&2; exit 2; }
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

case "$cmd" in
  start)
    stop
    # Until the server answers, a start that ends early (Ctrl-C) kills the one
    # it launched: DIR/env may not tell of it yet, and a mariadbd still
    # starting does not end on SIGTERM.
    trap '[ -z "${!:-}" ] || { kill -KILL "$!"; wait "$!"; } 2>/dev/null || true; rm -rf "${data:-}" "$dir/env"' EXIT
    ok=0
    for _ in 1 2 3; do   # a port taken between choosing and binding: try another
      if start_once; then ok=1; break; fi
    done
    trap - EXIT
    [ "$ok" = 1 ] || { echo "mariadb.sh: the server did not start" >&2; exit 1; }
    if [ -n "${3:-}" ]; then
      client "$DB_NAME" < "$3"
    fi
    . "$dir/env"
    echo "MariaDB ready on 127.0.0.1:$LS_DB_PORT (pid $LS_DB_PID)"
    ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop DIR [SCHEMA]" >&2; exit 2 ;;
esac
