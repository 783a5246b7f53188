#!/usr/bin/env bash
# Times a month's report over a table of 1,000,000 generated rows against a minimal ODBC loop
# that only fetches the rows the report reads, on SQLite and PostgreSQL. The target: the report
# takes at most twice as long as the loop.
#
# Usage: bench/report.sh
# Environment: BENCH_DIR        work folder, emptied first (default /tmp/brenvale-report-bench)
#              BENCH_PG_PORT    port of the benchmark's own PostgreSQL (default 54448)
#              BENCH_MARIA_PORT port of its own MariaDB (default 33448; started, not timed)
#              BENCH_BUILD      build folder (default <repository>/build-bench, Release);
#                               an existing one is only built, not configured again
#              BENCH_LINES      rows (default 1000000)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-/tmp/brenvale-report-bench}
port=${BENCH_PG_PORT:-54448}
mport=${BENCH_MARIA_PORT:-33448}
build=${BENCH_BUILD:-$root/build-bench}
lines=${BENCH_LINES:-1000000}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRENVALE_BUILD_UI=OFF \
        -DBUILD_TESTING=OFF >/dev/null
fi
cmake --build "$build" --target brenvale-run brenvale-report brenvale-bench-odbc-fetch >/dev/null
run=$build/src/app/brenvale-run
report=$build/src/app/brenvale-report
fetch=$build/bench/brenvale-bench-odbc-fetch

rm -rf "$work"
mkdir -p "$work"
envdir=$work/env
"$root/tests/support/test_env.sh" start "$envdir" "$port" "$mport" >/dev/null
trap '"$root/tests/support/test_env.sh" stop "$envdir" "$port" "$mport" >/dev/null 2>&1 || true' EXIT
export ODBCSYSINI=$envdir ODBCINI=$envdir/odbc.user.ini

log=$work/month.log
python3 "$root/bench/gen_log.py" "$lines" "$log" >/dev/null
table=report_logs
# The query the report runs for March 2024 in UTC: a day's margin before, eight after.
query="SELECT c_ip, log_time, cs_uri_stem, c_status, user_agent, x_duration FROM $table
  WHERE log_time >= '2024-02-29 00:00:00' AND log_time < '2024-04-09 00:00:00'
  ORDER BY log_time DESC"

best() { sort -n | head -n 1; }
printf '%-11s %-44s %10s %9s %10s\n' Database Method Rows Seconds "Peak RSS"
for dsn in brenvale_sqlite brenvale_pg; do
    name=$([ "$dsn" = brenvale_pg ] && echo PostgreSQL || echo SQLite)
    printf '<?xml version="1.0"?>\n<Brenvale.Config>\n\t<DSN>%s</DSN>\n\t<Jobs>\n\t\t<Job>\n\t\t\t<File>%s</File>\n\t\t\t<DBTable>%s</DBTable>\n\t\t</Job>\n\t</Jobs>\n</Brenvale.Config>\n' \
        "$dsn" "$log" "$table" >"$work/$dsn.xml"
    "$run" "$work/$dsn.xml" --create-tables --commit-rows 1000 --quiet >/dev/null
    # The settings the report reads with: rows handed over in pieces, not all at once.
    connection="DSN=$dsn;StepAPI=1"
    [ "$dsn" = brenvale_pg ] && connection="DSN=$dsn;UseDeclareFetch=1;Fetch=4096"
    for method in loop loop256 report; do
        times=$work/$dsn-$method.times
        : >"$times"
        for _ in 1 2 3; do
            case $method in
            loop) /usr/bin/time -f '%e %M' -a -o "$times" "$fetch" "$connection" "$query" >"$work/out" ;;
            loop256) /usr/bin/time -f '%e %M' -a -o "$times" "$fetch" "$connection" "$query" 256 >"$work/out" ;;
            report) /usr/bin/time -f '%e %M' -a -o "$times" "$report" --dsn "$dsn" --table "$table" \
                --from 2024-03-01 --to 2024-04-01 --by day --time-zone UTC \
                --json "$work/$dsn.json" --quiet ;;
            esac
        done
        rows=$(python3 -c "import json;d=json.load(open('$work/$dsn.json'));print(d['rows_read'])" 2>/dev/null || echo -)
        [ "$method" != report ] && rows=$(awk '{print $1}' "$work/out")
        label=$(case $method in
            loop) echo "minimal fetch loop, one row per fetch" ;;
            loop256) echo "minimal fetch loop, 256 rows per fetch" ;;
            report) echo "brenvale-report, month by day" ;;
            esac)
        seconds=$(awk '{print $1}' "$times" | best)
        rss=$(awk '{print $2}' "$times" | sort -n | tail -n 1)
        printf '%-11s %-44s %10s %9s %7s MiB\n' "$name" "$label" "$rows" "$seconds" "$(awk -v k="$rss" 'BEGIN { printf "%.1f", k / 1024 }')"
        echo "$seconds" >"$work/$dsn-$method.best"
    done
    awk -v name="$name" -v r="$(cat "$work/$dsn-report.best")" -v a="$(cat "$work/$dsn-loop.best")" \
        -v b="$(cat "$work/$dsn-loop256.best")" 'BEGIN {
            printf "%-11s report / one-row loop %.0f%%, report / 256-row loop %.0f%% (target: at most 200%%)\n",
                name, 100 * r / a, 100 * r / b }'
done
