#!/usr/bin/env bash
# Runs the login server on this machine: installs what is missing, builds,
# starts a private MariaDB server with the schema, copies the sample
# installation (install/) to build/run with the database's port written
# into its Config/LsConfig.ini, and runs the server there on 127.0.0.1.
# Ctrl-C (or SIGTERM, or closing the terminal) stops the server, which
# writes its teardown lines, and then the database; a second Ctrl-C ends
# the server at once.
#
# Optional settings, for tests (absolute paths):
#   LS_RUN_BIN      the server binary to run; nothing is installed or built
#   LS_RUN_DIR      the installation's copy (build/run)
#   LS_RUN_DB_DIR   the private database's state (build/rundb)
#   LS_RUN_PORT     login port (install/'s: 7112)
#   LS_RUN_ICPORT   internal port (install/'s: 7113)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

binary=${LS_RUN_BIN:-}
if [ -z "$binary" ]; then
  bash scripts/setup.sh
  bash scripts/build.sh
  binary=$root/build/release/loginserver
fi

dbdir=${LS_RUN_DB_DIR:-$root/build/rundb}
# Set before the start, so that an interrupted start stops what it started.
# A signal ends the script once the start is over: the start may go on after
# a Ctrl-C, which its database client catches.
trap 'bash "$root/scripts/mariadb.sh" stop "$dbdir"' EXIT
trap 'exit 130' INT; trap 'exit 143' TERM; trap 'exit 129' HUP
bash scripts/mariadb.sh start "$dbdir" db/schema.sql
# shellcheck disable=SC1091
. "$dbdir/env"

run=${LS_RUN_DIR:-$root/build/run}
rm -rf "$run"
cp -r install "$run"
set_config() { sed -i "s/^$1=.*/$1=$2/" "$run/Config/LsConfig.ini"; }
set_config DatabaseIP "$LS_DB_HOST"
set_config DatabasePort "$LS_DB_PORT"
[ -z "${LS_RUN_PORT:-}" ] || set_config Port "$LS_RUN_PORT"
[ -z "${LS_RUN_ICPORT:-}" ] || set_config ICPort "$LS_RUN_ICPORT"

cd "$run"
# The server gets a session of its own, away from the terminal: Ctrl-C
# signals the terminal's whole foreground process group, and the server
# takes a second signal as "end at once", so it must hear of each Ctrl-C
# once, from this script. (The background child leads no process group,
# so setsid does not fork and $! is the server.) A signal that comes while
# the server is being started is passed on once its pid is known.
signalled=0
trap 'signalled=1' INT TERM HUP
setsid "$binary" &
pid=$!
trap 'kill -TERM "$pid" 2>/dev/null || true' INT TERM HUP
[ "$signalled" = 0 ] || kill -TERM "$pid" 2>/dev/null || true
# wait returns early, with 128 + the signal, when a trapped signal arrives:
# keep waiting for the server's teardown, then ask once more for its exit
# status, which bash keeps for an ended child.
while kill -0 "$pid" 2>/dev/null; do
  wait "$pid" || true
done
status=0
wait "$pid" || status=$?
echo "Login server exited with status $status; its log is in $run/Logs/LsSysLog.txt"
exit "$status"
