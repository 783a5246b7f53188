#!/usr/bin/env bash
# Sets up, or tears down, what the tests talk to: ODBC ini files naming a SQLite and a PostgreSQL
# data source, and a private PostgreSQL server on 127.0.0.1.
# Usage: test_env.sh start|stop DIR PORT
set -euo pipefail
action=$1 dir=$2 port=$3
pgdata=/tmp/brenvale-pg-$port
pgbin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
as_postgres() { if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }

stop_server() {
    if [ -f "$pgdata/postmaster.pid" ]; then
        as_postgres "$pgbin/pg_ctl" -D "$pgdata" -m fast -w stop >/dev/null 2>&1 || true
    fi
}

if [ "$action" = stop ]; then
    stop_server
    rm -rf "$pgdata"
    exit 0
fi

mkdir -p "$dir"
libdir=/usr/lib/x86_64-linux-gnu/odbc
[ -d "$libdir" ] || libdir=$(dirname "$(find /usr/lib -name libsqlite3odbc.so | head -n 1)")
cat >"$dir/odbcinst.ini" <<INI
[SQLite3]
Description=SQLite3 ODBC Driver
Driver=$libdir/libsqlite3odbc.so

[PostgreSQL Unicode]
Description=PostgreSQL ODBC driver (Unicode)
Driver=$libdir/psqlodbcw.so

[Missing Driver]
Description=A driver whose library is not there
Driver=$dir/no-such-driver.so
INI
cat >"$dir/odbc.ini" <<INI
[brenvale_sqlite]
Driver=SQLite3
Database=$dir/test.db

[brenvale_pg]
Driver=PostgreSQL Unicode
Servername=127.0.0.1
Port=$port
Database=brenvale
Username=brenvale
Password=brenvale

[brenvale_missing_driver]
Driver=Missing Driver
INI
: >"$dir/odbc.user.ini"

stop_server
rm -rf "$pgdata"
mkdir -p "$pgdata"
[ "$(id -u)" = 0 ] && chown postgres:postgres "$pgdata"
as_postgres "$pgbin/initdb" -D "$pgdata" -U postgres -A trust -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1
as_postgres "$pgbin/pg_ctl" -D "$pgdata" -w -l "$pgdata/server.log" \
    -o "-p $port -c listen_addresses=127.0.0.1 -k $pgdata -c fsync=off" start >/dev/null
as_postgres "$pgbin/psql" -h 127.0.0.1 -p "$port" -U postgres -q -v ON_ERROR_STOP=1 \
    -c "CREATE ROLE brenvale LOGIN PASSWORD 'brenvale'" \
    -c "CREATE DATABASE brenvale OWNER brenvale" >/dev/null
echo "test environment ready in $dir (PostgreSQL on 127.0.0.1:$port)"
