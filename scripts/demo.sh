#!/usr/bin/env bash
# Installs what is needed, builds, and runs the program's main job on the demo set-up: a user DSN
# "Brenvale Demo" for a SQLite database (through the SQLite ODBC driver), a nine-column table and
# a sample SHOUTcast log. With a display it opens the main window on the demo configuration;
# without one it runs the same configuration unattended and prints the rows loaded.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${BRENVALE_SKIP_INSTALL:-0}" != 1 ]; then
    bash "$root/scripts/install-deps.sh"
fi
bash "$root/scripts/build.sh" "$root/build-release" -DBUILD_TESTING=OFF

demo=$root/out/demo
mkdir -p "$demo"
db=$demo/brenvale-demo.db
rm -f "$db"
# The columns brenvale-run --create-tables and the chooser's New Table... make.
sqlite3 "$db" "CREATE TABLE logs (c_ip VARCHAR(255), c_dns VARCHAR(255), log_time TIMESTAMP,
    cs_uri_stem LONGVARCHAR, c_status INTEGER, user_agent LONGVARCHAR, sc_bytes BIGINT,
    x_duration INTEGER, avgbandwidth BIGINT);"
cp "$root/demo/sample.log" "$demo/sample.log"

# A user DSN, written where unixODBC keeps the account's own data sources.
template=$(mktemp)
printf '[Brenvale Demo]\nDriver=SQLite3\nDescription=Quorvane Brenvale demo database\nDatabase=%s\n' "$db" >"$template"
odbcinst -u -s -l -n "Brenvale Demo" >/dev/null 2>&1 || true
odbcinst -u -s -h -n "Brenvale Demo" >/dev/null 2>&1 || true
odbcinst -i -s -h -f "$template" >/dev/null
rm -f "$template"

config=$demo/config.xml
printf '<?xml version="1.0"?>\r\n<Brenvale.Config>\r\n\t<DSN>Brenvale Demo</DSN>\r\n\t<TruncateOnce>True</TruncateOnce>\r\n\t<TruncatePerFile>False</TruncatePerFile>\r\n\t<TranslateASCIICodes>True</TranslateASCIICodes>\r\n\t<TimeZone>America/New_York</TimeZone>\r\n\t<Jobs>\r\n\t\t<Job>\r\n\t\t\t<File>%s</File>\r\n\t\t\t<DBTable>logs</DBTable>\r\n\t\t</Job>\r\n\t</Jobs>\r\n</Brenvale.Config>\r\n' "$demo/sample.log" >"$config"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$root/build-release/src/app/brenvale" ]; then
    echo "Opening the main window on $config (click \"Process Log Files\")."
    "$root/build-release/src/app/brenvale" /c "$config"
else
    echo "No display: running $config unattended."
    "$root/build-release/src/app/brenvale-run" "$config"
fi
echo "Rows in table logs of DSN \"Brenvale Demo\": $(sqlite3 "$db" 'SELECT COUNT(*) FROM logs;')"
