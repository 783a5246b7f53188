#!/usr/bin/env bash
# Loads generated SHOUTcast logs into SQLite and PostgreSQL through ODBC four ways: brenvale-run
# row by row, brenvale-run --commit-rows 1000, a minimal prepared-insert ODBC loop (the per-row
# ceiling) and the native bulk loader (sqlite3 .import, psql \copy) of the same rows as
# tab-separated text. Prints rows per second, their ratios and peak memory in one table.
#
# Usage: bench/run.sh [--quick]      --quick: only the 100,000-line log (a few minutes)
# Environment: BENCH_DIR      work folder, emptied first (default /tmp/brenvale-bench)
#              BENCH_PG_PORT  port of the benchmark's own PostgreSQL (default 54447)
#              BENCH_BUILD    build folder, configured and built when needed
#                             (default <repository>/build-bench, RelWithDebInfo)
# Needs what scripts/install-deps.sh installs (time, sqlite3, psql, PostgreSQL, the ODBC drivers).
# The PostgreSQL server is the tests' one (tests/support/test_env.sh): fsync is off there.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
quick=0
case "${1:-}" in
"") ;;
--quick) quick=1 ;;
*)
    echo "usage: bench/run.sh [--quick]" >&2
    exit 2
    ;;
esac
work=${BENCH_DIR:-/tmp/brenvale-bench}
port=${BENCH_PG_PORT:-54447}
build=${BENCH_BUILD:-$root/build-bench}
sizes="100000 1000000"
[ "$quick" = 1 ] && sizes=100000
seed=20240301

echo "building brenvale-run and the ODBC loop in $build ..."
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRENVALE_BUILD_UI=OFF \
    -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target brenvale-run brenvale-bench-odbc-loop >/dev/null
run=$build/src/app/brenvale-run
loop=$build/bench/brenvale-bench-odbc-loop

rm -rf "$work"
mkdir -p "$work"
envdir=$work/env
"$root/tests/support/test_env.sh" start "$envdir" "$port" >/dev/null
trap '"$root/tests/support/test_env.sh" stop "$envdir" "$port" >/dev/null 2>&1 || true' EXIT
export ODBCSYSINI=$envdir ODBCINI=$envdir/odbc.user.ini
sqlite_db=$envdir/test.db
psql_user=(env PGOPTIONS="-c client_min_messages=warning" psql -X -q -h 127.0.0.1 -p "$port" -U brenvale -d brenvale -v ON_ERROR_STOP=1)
psql_admin=(env PGOPTIONS="-c client_min_messages=warning" psql -X -q -h 127.0.0.1 -p "$port" -U postgres -d brenvale -v ON_ERROR_STOP=1)
table=bench_logs
ddl="CREATE TABLE $table (c_ip VARCHAR(64), c_dns VARCHAR(255), ts VARCHAR(32), uri VARCHAR(2000),
  status INTEGER, agent VARCHAR(2000), bytes VARCHAR(32), duration VARCHAR(32),
  bandwidth VARCHAR(32))"
results=$work/results.tsv
: >"$results"

fresh_table() {
    if [ "$1" = sqlite ]; then
        sqlite3 "$sqlite_db" "DROP TABLE IF EXISTS $table; $ddl;"
    else
        "${psql_user[@]}" -c "DROP TABLE IF EXISTS $table" -c "$ddl"
        "${psql_admin[@]}" -c "CHECKPOINT"
    fi
}

count_rows() {
    if [ "$1" = sqlite ]; then
        sqlite3 "$sqlite_db" "SELECT COUNT(*) FROM $table"
    else
        "${psql_user[@]}" -A -t -c "SELECT COUNT(*) FROM $table"
    fi
}

# measure SIZE DB METHOD EXPECTED COMMAND...: times one load into a fresh table.
measure() {
    local size=$1 db=$2 method=$3 expected=$4
    shift 4
    fresh_table "$db"
    local start end
    start=$(date +%s%N)
    if ! /usr/bin/time -f '%M' -o "$work/rss" "$@" >"$work/output" 2>&1; then
        echo "bench: $method on $db failed:" >&2
        cat "$work/output" >&2
        exit 1
    fi
    end=$(date +%s%N)
    local rows
    rows=$(count_rows "$db")
    if [ "$rows" != "$expected" ]; then
        echo "bench: $method on $db loaded $rows rows, not $expected" >&2
        exit 1
    fi
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$size" "$db" "$method" "$rows" "$((end - start))" \
        "$(tail -n 1 "$work/rss")" >>"$results"
    awk -v ns=$((end - start)) -v rows="$rows" -v m="$method" -v d="$db" \
        'BEGIN { printf "  %-10s %-24s %8.2f s  %9.0f rows/s\n", d, m, ns / 1e9, rows / (ns / 1e9) }'
}

# seconds COMMAND...: wall-clock seconds of a preparation step.
seconds() {
    local start end
    start=$(date +%s%N)
    "$@" >"$work/output"
    end=$(date +%s%N)
    awk -v ns=$((end - start)) 'BEGIN { printf "%.2f", ns / 1e9 }'
}

for size in $sizes; do
    log=$work/access-$size.log
    tsv=$work/access-$size.tsv
    echo "== $size lines"
    t=$(seconds python3 "$root/bench/gen_log.py" "$size" "$log" --seed "$seed")
    data=$(cat "$work/output")
    echo "  generated $log ($data data lines) in $t s"
    t=$(seconds python3 "$root/bench/log_to_tsv.py" "$log" "$tsv")
    echo "  converted it to $tsv ($(cat "$work/output") rows) in $t s"
    for db in sqlite pg; do
        dsn=brenvale_$db
        config=$work/config-$db-$size.xml
        printf '<?xml version="1.0"?>\r\n<Brenvale.Config>\r\n\t<DSN>%s</DSN>\r\n%s\r\n%s\r\n%s\r\n\t<Jobs>\r\n\t\t<Job>\r\n\t\t\t<File>%s</File>\r\n\t\t\t<DBTable>%s</DBTable>\r\n\t\t</Job>\r\n\t</Jobs>\r\n</Brenvale.Config>\r\n' \
            "$dsn" $'\t<TruncateOnce>False</TruncateOnce>' $'\t<TruncatePerFile>False</TruncatePerFile>' \
            $'\t<TranslateASCIICodes>False</TranslateASCIICodes>' "$log" "$table" >"$config"
        if [ "$db" = sqlite ]; then
            measure "$size" "$db" native "$data" sqlite3 "$sqlite_db" ".mode tabs" ".import $tsv $table"
        else
            measure "$size" "$db" native "$data" "${psql_user[@]}" -c "\\copy $table FROM '$tsv'"
        fi
        measure "$size" "$db" batch "$data" "$run" "$config" --quiet --commit-rows 1000
        measure "$size" "$db" loop "$data" "$loop" "$dsn" "$table" "$log"
        measure "$size" "$db" row "$data" "$run" "$config" --quiet
    done
done

echo
echo "Quorvane Brenvale load benchmark, $(nproc) cores, $(date -u '+%Y-%m-%d %H:%M UTC')"
awk -F '\t' '
function group(n,   s, out) { s = sprintf("%d", n); out = ""; while (length(s) > 3) { out = "," substr(s, length(s) - 2) out; s = substr(s, 1, length(s) - 3) } return s out }
function dbname(d) { return d == "pg" ? "PostgreSQL" : "SQLite" }
BEGIN {
    label["row"] = "brenvale-run, row by row"
    label["batch"] = "brenvale-run --commit-rows 1000"
    label["loop"] = "minimal ODBC insert loop"
    label["native"] = "native bulk loader"
    order[1] = "row"; order[2] = "loop"; order[3] = "batch"; order[4] = "native"
}
{
    key = $1 SUBSEP $2 SUBSEP $3
    rows[key] = $4; secs[key] = $5 / 1e9; rate[key] = $4 / ($5 / 1e9); rss[key] = $6 / 1024
    if (!($1 in seenSize)) { seenSize[$1] = 1; sizes[++nsizes] = $1 }
}
END {
    printf "%-10s %-11s %-32s %10s %9s %11s %10s\n", "Log lines", "Database", "Method", "Rows", "Seconds", "Rows/s", "Peak RSS"
    for (i = 1; i <= nsizes; i++)
        for (d = 1; d <= 2; d++) {
            db = d == 1 ? "sqlite" : "pg"
            for (o = 1; o <= 4; o++) {
                key = sizes[i] SUBSEP db SUBSEP order[o]
                if (!(key in rows)) continue
                printf "%-10s %-11s %-32s %10s %9.2f %11s %7.1f MiB\n", group(sizes[i]), dbname(db), label[order[o]], group(rows[key]), secs[key], group(rate[key]), rss[key]
            }
        }
    print ""
    printf "%-64s %8s %11s\n", "Ratios of rows per second (target)", "SQLite", "PostgreSQL"
    for (i = 1; i <= nsizes; i++) {
        s = sizes[i]
        printf "%-64s %7.0f%% %10.0f%%\n", group(s) " lines: row by row / minimal ODBC loop (>= 90%)", 100 * rate[s SUBSEP "sqlite" SUBSEP "row"] / rate[s SUBSEP "sqlite" SUBSEP "loop"], 100 * rate[s SUBSEP "pg" SUBSEP "row"] / rate[s SUBSEP "pg" SUBSEP "loop"]
        printf "%-64s %7.0f%% %10.0f%%\n", group(s) " lines: --commit-rows 1000 / native bulk loader (>= 30%)", 100 * rate[s SUBSEP "sqlite" SUBSEP "batch"] / rate[s SUBSEP "sqlite" SUBSEP "native"], 100 * rate[s SUBSEP "pg" SUBSEP "batch"] / rate[s SUBSEP "pg" SUBSEP "native"]
    }
    if (nsizes > 1) {
        small = sizes[1]; big = sizes[nsizes]
        for (m = 1; m <= 2; m++) {
            method = m == 1 ? "row" : "batch"
            printf "%-64s %7.0f%% %10.0f%%\n", "peak RSS of " label[method] ", " group(big) " / " group(small) " lines (<= 110%)", 100 * rss[big SUBSEP "sqlite" SUBSEP method] / rss[small SUBSEP "sqlite" SUBSEP method], 100 * rss[big SUBSEP "pg" SUBSEP method] / rss[small SUBSEP "pg" SUBSEP method]
        }
    }
}' "$results"
