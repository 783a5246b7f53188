#!/usr/bin/env bash
# Loads generated SHOUTcast logs into SQLite, PostgreSQL and MariaDB through ODBC these ways:
# brenvale-run row by row, a minimal prepared-insert ODBC loop (the per-row ceiling),
# brenvale-run --commit-rows 1000, the same with --incremental, --commit-rows 1000000, a minimal
# loop through the database's own client library committing every 1,000 rows (SQLite: one
# reused prepared statement), and the native bulk loader (sqlite3 .import, psql \copy,
# LOAD DATA LOCAL INFILE) of the same rows as tab-separated text.
# Then the memory of batches of lines of a megabyte. Prints rows per second, their ratios against
# the targets and peak memory in one table.
#
# Usage: bench/run.sh [--quick]      --quick: only the 100,000-line log
# Environment: BENCH_DIR        work folder, emptied first (default /tmp/brenvale-bench)
#              BENCH_PG_PORT    port of the benchmark's own PostgreSQL (default 54447)
#              BENCH_MARIA_PORT port of its own MariaDB (default 33447)
#              BENCH_BUILD      build folder, configured and built when needed
#                               (default <repository>/build-bench, Release)
#              BENCH_METHODS    which loads to time, of: native batch bigbatch libloop
#                               incremental loop row (default all; the short batched ones
#                               again on a quiet machine)
# Needs what scripts/install-deps.sh installs. The servers are the tests' ones
# (tests/support/test_env.sh): fsync is off for PostgreSQL, InnoDB flushes its log once a second.
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
mport=${BENCH_MARIA_PORT:-33447}
build=${BENCH_BUILD:-$root/build-bench}
sizes="100000 1000000"
[ "$quick" = 1 ] && sizes=100000
seed=20240301
methods=${BENCH_METHODS:-native batch bigbatch libloop incremental loop row}

echo "building brenvale-run and the loops in $build ..."
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRENVALE_BUILD_UI=OFF \
    -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target brenvale-run brenvale-bench-odbc-loop brenvale-bench-sqlite-loop \
    brenvale-bench-pg-copy-loop brenvale-bench-maria-loop >/dev/null
run=$build/src/app/brenvale-run
loop=$build/bench/brenvale-bench-odbc-loop
sqlite_loop=$build/bench/brenvale-bench-sqlite-loop
pg_loop=$build/bench/brenvale-bench-pg-copy-loop
maria_loop=$build/bench/brenvale-bench-maria-loop

rm -rf "$work"
mkdir -p "$work"
envdir=$work/env
"$root/tests/support/test_env.sh" start "$envdir" "$port" "$mport" >/dev/null
trap '"$root/tests/support/test_env.sh" stop "$envdir" "$port" "$mport" >/dev/null 2>&1 || true' EXIT
export ODBCSYSINI=$envdir ODBCINI=$envdir/odbc.user.ini
sqlite_db=$envdir/test.db
psql_user=(env PGOPTIONS="-c client_min_messages=warning" psql -X -q -h 127.0.0.1 -p "$port" -U brenvale -d brenvale -v ON_ERROR_STOP=1)
psql_admin=(env PGOPTIONS="-c client_min_messages=warning" psql -X -q -h 127.0.0.1 -p "$port" -U postgres -d brenvale -v ON_ERROR_STOP=1)
maria=(mariadb -S "/tmp/brenvale-maria-$mport/sock" -u root brenvale)
maria_user=(mariadb --local-infile=1 -h 127.0.0.1 -P "$mport" -u brenvale -pbrenvale brenvale)
table=bench_logs
ddl="CREATE TABLE $table (c_ip VARCHAR(64), c_dns VARCHAR(255), ts VARCHAR(32), uri VARCHAR(2000),
  status INTEGER, agent VARCHAR(2000), bytes VARCHAR(32), duration VARCHAR(32),
  bandwidth VARCHAR(32))"
results=$work/results.tsv
: >"$results"

fresh_table() {
    case "$1" in
    sqlite) sqlite3 "$sqlite_db" "DROP TABLE IF EXISTS $table; DROP TABLE IF EXISTS brenvale_checkpoint; $ddl;" ;;
    pg)
        "${psql_user[@]}" -c "DROP TABLE IF EXISTS $table" -c "DROP TABLE IF EXISTS brenvale_checkpoint" -c "$ddl"
        "${psql_admin[@]}" -c "CHECKPOINT"
        ;;
    maria) "${maria[@]}" -e "DROP TABLE IF EXISTS $table; DROP TABLE IF EXISTS brenvale_checkpoint; $ddl" ;;
    esac
}

count_rows() {
    case "$1" in
    sqlite) sqlite3 "$sqlite_db" "SELECT COUNT(*) FROM $table" ;;
    pg) "${psql_user[@]}" -A -t -c "SELECT COUNT(*) FROM $table" ;;
    maria) "${maria[@]}" -N -e "SELECT COUNT(*) FROM $table" ;;
    esac
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
    if [ "$expected" != "-" ] && [ "$rows" != "$expected" ]; then
        echo "bench: $method on $db loaded $rows rows, not $expected" >&2
        exit 1
    fi
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$size" "$db" "$method" "$rows" "$((end - start))" \
        "$(tail -n 1 "$work/rss")" >>"$results"
    awk -v ns=$((end - start)) -v rows="$rows" -v m="$method" -v d="$db" -v kb="$(tail -n 1 "$work/rss")" \
        'BEGIN { printf "  %-7s %-12s %8.2f s  %9.0f rows/s  %7.1f MiB\n", d, m, ns / 1e9, rows / (ns / 1e9), kb / 1024 }'
}

# seconds COMMAND...: wall-clock seconds of a preparation step.
seconds() {
    local start end
    start=$(date +%s%N)
    "$@" >"$work/output"
    end=$(date +%s%N)
    awk -v ns=$((end - start)) 'BEGIN { printf "%.2f", ns / 1e9 }'
}

# config DB LOG: a configuration of one job loading LOG into the table.
config() {
    local file=$work/config-$1-$(basename "$2").xml
    printf '<?xml version="1.0"?>\r\n<Brenvale.Config>\r\n\t<DSN>brenvale_%s</DSN>\r\n\t<TruncateOnce>False</TruncateOnce>\r\n\t<TruncatePerFile>False</TruncatePerFile>\r\n\t<TranslateASCIICodes>False</TranslateASCIICodes>\r\n\t<Jobs>\r\n\t\t<Job>\r\n\t\t\t<File>%s</File>\r\n\t\t\t<DBTable>%s</DBTable>\r\n\t\t</Job>\r\n\t</Jobs>\r\n</Brenvale.Config>\r\n' \
        "$1" "$2" "$table" >"$file"
    echo "$file"
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
    for db in sqlite pg maria; do
        cfg=$(config "$db" "$log")
        for method in $methods; do
            case "$method" in
            native)
                case "$db" in
                sqlite) measure "$size" "$db" native "$data" sqlite3 "$sqlite_db" ".mode tabs" ".import $tsv $table" ;;
                pg) measure "$size" "$db" native "$data" "${psql_user[@]}" -c "\\copy $table FROM '$tsv'" ;;
                maria) measure "$size" "$db" native "$data" "${maria_user[@]}" -e \
                    "LOAD DATA LOCAL INFILE '$tsv' INTO TABLE $table FIELDS TERMINATED BY '\t' LINES TERMINATED BY '\n'" ;;
                esac
                ;;
            batch) measure "$size" "$db" batch "$data" "$run" "$cfg" --quiet --commit-rows 1000 ;;
            bigbatch) measure "$size" "$db" bigbatch "$data" "$run" "$cfg" --quiet --commit-rows 1000000 ;;
            libloop)
                case "$db" in
                sqlite) measure "$size" "$db" libloop "$data" "$sqlite_loop" "$sqlite_db" "$table" "$log" 1000 ;;
                pg) measure "$size" "$db" libloop "$data" "$pg_loop" \
                    "host=127.0.0.1 port=$port user=brenvale dbname=brenvale" "$table" "$log" 1000 ;;
                maria) measure "$size" "$db" libloop "$data" "$maria_loop" \
                    127.0.0.1 "$mport" brenvale brenvale brenvale "$table" "$log" 1000 ;;
                esac
                ;;
            incremental) measure "$size" "$db" incremental "$data" "$run" "$cfg" --quiet --commit-rows 1000 --incremental ;;
            loop) measure "$size" "$db" loop "$data" "$loop" "brenvale_$db" "$table" "$log" ;;
            row) measure "$size" "$db" row "$data" "$run" "$cfg" --quiet ;;
            *)
                echo "bench: unknown method '$method' in BENCH_METHODS" >&2
                exit 2
                ;;
            esac
        done
    done
done

# Lines of about a megabyte (the longest the loader keeps): batches stay within their byte budget.
long=$work/long.log
python3 - "$long" <<'EOF'
import sys
with open(sys.argv[1], "w") as out:
    out.write("#Software: SHOUTcast\n")
    for i in range(300):
        title = "x" * (1000 * 1000 - 200)
        out.write(f"192.0.2.7 n{i} 2024-03-01 18:04:11 /stream?title={title} 200 VLC 1048576 65 128020\n")
EOF
echo "== 300 lines of about 1 MB"
cfg=$(config sqlite "$long")
measure long sqlite batch 300 "$run" "$cfg" --quiet --commit-rows 1000
measure long sqlite row 300 "$run" "$cfg" --quiet

echo
echo "Quorvane Brenvale load benchmark, $(nproc) cores, $(date -u '+%Y-%m-%d %H:%M UTC')"
awk -F '\t' '
function group(n,   s, out) { s = sprintf("%d", n); out = ""; while (length(s) > 3) { out = "," substr(s, length(s) - 2) out; s = substr(s, 1, length(s) - 3) } return s out }
function pct(a, b) { return (a == "" || b == "" || b == 0) ? "-" : sprintf("%.0f%%", 100 * a / b) }
BEGIN {
    label["row"] = "brenvale-run, row by row"
    label["loop"] = "minimal ODBC insert loop"
    label["batch"] = "--commit-rows 1000"
    label["incremental"] = "--commit-rows 1000 --incremental"
    label["native"] = "native bulk loader"
    label["bigbatch"] = "--commit-rows 1000000"
    label["libloop"] = "client library loop, commits of 1000"
    order[1] = "row"; order[2] = "loop"; order[3] = "batch"; order[4] = "incremental"
    order[5] = "libloop"; order[6] = "bigbatch"; order[7] = "native"
    name["sqlite"] = "SQLite"; name["pg"] = "PostgreSQL"; name["maria"] = "MariaDB"
    db[1] = "sqlite"; db[2] = "pg"; db[3] = "maria"
}
{
    key = $1 SUBSEP $2 SUBSEP $3
    rows[key] = $4; secs[key] = $5 / 1e9; rate[key] = $4 / ($5 / 1e9); rss[key] = $6 / 1024
    if ($1 != "long" && !($1 in seenSize)) { seenSize[$1] = 1; sizes[++nsizes] = $1 }
}
END {
    printf "%-10s %-11s %-34s %10s %9s %11s %10s\n", "Log lines", "Database", "Method", "Rows", "Seconds", "Rows/s", "Peak RSS"
    for (i = 1; i <= nsizes; i++)
        for (d = 1; d <= 3; d++)
            for (o = 1; o <= 7; o++) {
                key = sizes[i] SUBSEP db[d] SUBSEP order[o]
                if (!(key in rows)) continue
                printf "%-10s %-11s %-34s %10s %9.2f %11s %7.1f MiB\n", group(sizes[i]), name[db[d]], label[order[o]], group(rows[key]), secs[key], group(rate[key]), rss[key]
            }
    for (m = 1; m <= 2; m++) {
        method = m == 1 ? "batch" : "row"
        key = "long" SUBSEP "sqlite" SUBSEP method
        if (key in rows)
            printf "%-10s %-11s %-34s %10s %9.2f %11s %7.1f MiB\n", "300 x 1 MB", "SQLite", label[method], group(rows[key]), secs[key], group(rate[key]), rss[key]
    }
    print ""
    printf "%-66s %8s %11s %9s\n", "Ratios (target)", "SQLite", "PostgreSQL", "MariaDB"
    for (i = 1; i <= nsizes; i++) {
        s = sizes[i]
        line = group(s) " lines: row by row / minimal ODBC loop (>= 90%)"
        printf "%-66s %8s %11s %9s\n", line, pct(rate[s SUBSEP "sqlite" SUBSEP "row"], rate[s SUBSEP "sqlite" SUBSEP "loop"]), pct(rate[s SUBSEP "pg" SUBSEP "row"], rate[s SUBSEP "pg" SUBSEP "loop"]), pct(rate[s SUBSEP "maria" SUBSEP "row"], rate[s SUBSEP "maria" SUBSEP "loop"])
        line = group(s) " lines: --commit-rows 1000 / native bulk loader (>= 70%)"
        printf "%-66s %8s %11s %9s\n", line, pct(rate[s SUBSEP "sqlite" SUBSEP "batch"], rate[s SUBSEP "sqlite" SUBSEP "native"]), pct(rate[s SUBSEP "pg" SUBSEP "batch"], rate[s SUBSEP "pg" SUBSEP "native"]), pct(rate[s SUBSEP "maria" SUBSEP "batch"], rate[s SUBSEP "maria" SUBSEP "native"])
        line = group(s) " lines: --commit-rows 1000 / client library loop (>= 90%)"
        printf "%-66s %8s %11s %9s\n", line, pct(rate[s SUBSEP "sqlite" SUBSEP "batch"], rate[s SUBSEP "sqlite" SUBSEP "libloop"]), pct(rate[s SUBSEP "pg" SUBSEP "batch"], rate[s SUBSEP "pg" SUBSEP "libloop"]), pct(rate[s SUBSEP "maria" SUBSEP "batch"], rate[s SUBSEP "maria" SUBSEP "libloop"])
        line = group(s) " lines: --commit-rows 1000000 / native bulk loader (>= 90%)"
        printf "%-66s %8s %11s %9s\n", line, pct(rate[s SUBSEP "sqlite" SUBSEP "bigbatch"], rate[s SUBSEP "sqlite" SUBSEP "native"]), pct(rate[s SUBSEP "pg" SUBSEP "bigbatch"], rate[s SUBSEP "pg" SUBSEP "native"]), pct(rate[s SUBSEP "maria" SUBSEP "bigbatch"], rate[s SUBSEP "maria" SUBSEP "native"])
        line = group(s) " lines: incremental / plain batches (>= 90%)"
        printf "%-66s %8s %11s %9s\n", line, pct(rate[s SUBSEP "sqlite" SUBSEP "incremental"], rate[s SUBSEP "sqlite" SUBSEP "batch"]), pct(rate[s SUBSEP "pg" SUBSEP "incremental"], rate[s SUBSEP "pg" SUBSEP "batch"]), pct(rate[s SUBSEP "maria" SUBSEP "incremental"], rate[s SUBSEP "maria" SUBSEP "batch"])
    }
    if (nsizes > 1) {
        small = sizes[1]; big = sizes[nsizes]
        for (m = 1; m <= 2; m++) {
            method = m == 1 ? "row" : "batch"
            line = "peak RSS of " label[method] ", " group(big) " / " group(small) " lines (<= 110%)"
            printf "%-66s %8s %11s %9s\n", line, pct(rss[big SUBSEP "sqlite" SUBSEP method], rss[small SUBSEP "sqlite" SUBSEP method]), pct(rss[big SUBSEP "pg" SUBSEP method], rss[small SUBSEP "pg" SUBSEP method]), pct(rss[big SUBSEP "maria" SUBSEP method], rss[small SUBSEP "maria" SUBSEP method])
        }
    }
    key = "long" SUBSEP "sqlite" SUBSEP "batch"
    if (key in rss)
        printf "%-66s %7.1f MiB\n", "peak RSS, batches of 1 MB lines (<= 64 MiB)", rss[key]
}' "$results"
