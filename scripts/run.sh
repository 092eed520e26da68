#!/usr/bin/env bash
# Runs the login server on this machine: installs what is missing, builds,
# starts a private MariaDB server with the schema, copies the sample
# installation (install/) to build/run with the database's port written
# into its Config/LsConfig.ini, and runs the server there on 127.0.0.1.
# Ctrl-C (or SIGTERM) stops the server, which writes its teardown lines,
# and then the database.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh
bash scripts/build.sh

dbdir=$root/build/rundb
bash scripts/mariadb.sh start "$dbdir" db/schema.sql
trap 'bash "$root/scripts/mariadb.sh" stop "$dbdir"' EXIT
# shellcheck disable=SC1091
. "$dbdir/env"

run=$root/build/run
rm -rf "$run"
cp -r install "$run"
sed -i -e "s/^DatabaseIP=.*/DatabaseIP=$LS_DB_HOST/" \
       -e "s/^DatabasePort=.*/DatabasePort=$LS_DB_PORT/" "$run/Config/LsConfig.ini"

cd "$run"
"$root/build/release/loginserver" &
pid=$!
trap 'kill -TERM "$pid" 2>/dev/null || true' INT TERM
status=0
# wait returns early when a trapped signal arrives: keep waiting for the
# server's teardown.
while kill -0 "$pid" 2>/dev/null; do
  wait "$pid" && status=0 || status=$?
done
echo "Login server exited with status $status; its log is in $run/Logs/LsSysLog.txt"
exit "$status"
