#!/usr/bin/env bash
# Sets up, or tears down, what the tests talk to: ODBC ini files naming a SQLite, a PostgreSQL and
# a MariaDB data source, and private PostgreSQL and MariaDB servers on 127.0.0.1.
# Usage: test_env.sh start|stop DIR PG_PORT MARIA_PORT
#        test_env.sh pg-stop|pg-crash|pg-start|maria-stop|maria-start DIR PG_PORT MARIA_PORT
#        (the tests stop and start a server in the middle of a run with these)
set -euo pipefail
action=$1 dir=$2 port=$3 mport=$4
pgdata=/tmp/brenvale-pg-$port
mdata=/tmp/brenvale-maria-$mport
pgbin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
as_postgres() { if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }

pg_stop() {
    if [ -f "$pgdata/postmaster.pid" ]; then
        as_postgres "$pgbin/pg_ctl" -D "$pgdata" -m fast -w stop >/dev/null 2>&1 || true
    fi
}
# A crash: the server's unwritten WAL, lazy commits with it, is lost.
pg_crash() {
    if [ -f "$pgdata/postmaster.pid" ]; then
        as_postgres "$pgbin/pg_ctl" -D "$pgdata" -m immediate -w stop >/dev/null 2>&1 || true
    fi
}
pg_start() {
    as_postgres "$pgbin/pg_ctl" -D "$pgdata" -w -l "$pgdata/server.log" \
        -o "-p $port -c listen_addresses=127.0.0.1 -k $pgdata -c fsync=off -c wal_writer_delay=10s" \
        start >/dev/null
}

maria_stop() {
    if [ -f "$mdata/pid" ]; then
        local pid
        pid=$(cat "$mdata/pid" 2>/dev/null || true)
        if [ -n "$pid" ]; then
            kill "$pid" 2>/dev/null || true
            for _ in $(seq 1 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
        fi
        rm -f "$mdata/pid"
    fi
}
maria_start() {
    local user=()
    [ "$(id -u)" = 0 ] && user=(--user=mysql)
    rm -f "$mdata/sock"
    setsid mariadbd --no-defaults --datadir="$mdata/data" "${user[@]}" --port="$mport" \
        --bind-address=127.0.0.1 --socket="$mdata/sock" --pid-file="$mdata/pid" \
        --log-error="$mdata/error.log" --skip-name-resolve --innodb-flush-log-at-trx-commit=0 \
        --innodb-buffer-pool-size=64M --character-set-server=utf8mb4 \
        --collation-server=utf8mb4_general_ci --local-infile=1 </dev/null >/dev/null 2>&1 &
    for _ in $(seq 1 300); do
        if [ -S "$mdata/sock" ] && mariadb -S "$mdata/sock" -u root -e 'SELECT 1' >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.1
    done
    echo "MariaDB did not start; see $mdata/error.log" >&2
    return 1
}

case "$action" in
stop)
    pg_stop
    maria_stop
    rm -rf "$pgdata" "$mdata"
    exit 0
    ;;
pg-stop) pg_stop; exit 0 ;;
pg-crash) pg_crash; exit 0 ;;
pg-start) pg_start; exit 0 ;;
maria-stop) maria_stop; exit 0 ;;
maria-start) maria_start; exit 0 ;;
start) ;;
*) echo "test_env.sh: unknown action $action" >&2; exit 2 ;;
esac

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

[MariaDB Unicode]
Description=MariaDB Connector/ODBC
Driver=$libdir/libmaodbc.so

[Missing Driver]
Description=A driver whose library is not there
Driver=$dir/no-such-driver.so
INI
cat >"$dir/odbc.ini" <<INI
[brenvale_sqlite]
Driver=SQLite3
Database=$dir/test.db
# Milliseconds the driver waits for a lock held by another connection (100 s by default).
Timeout=200

[brenvale_pg]
Driver=PostgreSQL Unicode
Servername=127.0.0.1
Port=$port
Database=brenvale
Username=brenvale
Password=brenvale

[brenvale_maria]
Driver=MariaDB Unicode
Server=127.0.0.1
Port=$mport
Database=brenvale
User=brenvale
Password=brenvale

[brenvale_missing_driver]
Driver=Missing Driver
INI
: >"$dir/odbc.user.ini"

pg_stop
maria_stop
rm -rf "$pgdata" "$mdata"
mkdir -p "$pgdata" "$mdata/data"
if [ "$(id -u)" = 0 ]; then
    chown postgres:postgres "$pgdata"
    chown -R mysql:mysql "$mdata"
fi
as_postgres "$pgbin/initdb" -D "$pgdata" -U postgres -A trust -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1
pg_start
as_postgres "$pgbin/psql" -h 127.0.0.1 -p "$port" -U postgres -q -v ON_ERROR_STOP=1 \
    -c "CREATE ROLE brenvale LOGIN PASSWORD 'brenvale'" \
    -c "CREATE DATABASE brenvale OWNER brenvale" >/dev/null

user=()
[ "$(id -u)" = 0 ] && user=(--user=mysql)
mariadb-install-db --no-defaults --datadir="$mdata/data" "${user[@]}" \
    --auth-root-authentication-method=normal --skip-test-db >"$dir/mariadb-install.log" 2>&1
maria_start
mariadb -S "$mdata/sock" -u root -e "CREATE DATABASE brenvale;
    CREATE USER brenvale@'127.0.0.1' IDENTIFIED BY 'brenvale';
    CREATE USER brenvale@localhost IDENTIFIED BY 'brenvale';
    GRANT ALL ON brenvale.* TO brenvale@'127.0.0.1';
    GRANT ALL ON brenvale.* TO brenvale@localhost;"
echo "test environment ready in $dir (PostgreSQL on 127.0.0.1:$port, MariaDB on 127.0.0.1:$mport)"
