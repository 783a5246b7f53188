#!/usr/bin/env bash
# Times loading a DNAS archive of many small gzip members (one per hourly rotation, ten lines
# each) into SQLite: a plain run, a first incremental run, and an incremental run with nothing new.
# Planning must stay linear in the members: the first incremental run near the plain one, the
# run with nothing new well under it.
#
# Usage: bench/archive.sh [MEMBERS...]   (default 2500 5000 10000)
# Environment: BENCH_DIR   work folder, emptied first (default /tmp/brenvale-archive-bench)
#              BENCH_REPEAT runs of each kind, the best one counted (default 3)
#              BENCH_BUILD build folder, configured and built when needed
#                          (default <repository>/build-bench, Release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-/tmp/brenvale-archive-bench}
build=${BENCH_BUILD:-$root/build-bench}
repeat=${BENCH_REPEAT:-3}
members=("$@")
[ ${#members[@]} -gt 0 ] || members=(2500 5000 10000)

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRENVALE_BUILD_UI=OFF \
    -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target brenvale-run >/dev/null
run=$build/src/app/brenvale-run

rm -rf "$work"
mkdir -p "$work"
driver=$(find /usr/lib -name libsqlite3odbc.so | head -n 1)
printf '[SQLite3]\nDriver=%s\n' "$driver" >"$work/odbcinst.ini"
printf '[bench]\nDriver=SQLite3\nDatabase=%s\n' "$work/bench.db" >"$work/odbc.ini"
export ODBCSYSINI=$work ODBCINI=$work/odbc.ini

# archive MEMBERS FILE: the members, each the header and ten lines, as DNAS writes them.
archive() {
    python3 - "$1" "$2" <<'PY'
import gzip, sys
members, out = int(sys.argv[1]), sys.argv[2]
header = ("#Software: SHOUTcast\r\n#Version: 2.6.1\r\n#Fields: c-ip c-dns date time cs-uri-stem "
          "c-status cs(User-Agent) sc-bytes x-duration avgbandwidth\r\n")
with open(out, "wb") as f:
    for m in range(members):
        lines = "".join(
            f"192.0.2.{i % 250 + 1} 192.0.2.{i % 250 + 1} 2024-03-01 {m % 24:02d}:{i:02d}:11 "
            f"/stream?title=Bj%C3%B6rk%20-%20Joga%20{m} 200 VLC%2F3.0.18%20LibVLC%2F3.0.18 "
            f"{1048576 + m} {65 + i} 128020\r\n" for i in range(10))
        f.write(gzip.compress((header + lines).encode()))
PY
}

seconds() {
    local start end
    start=$(date +%s%N)
    "$@" >"$work/output" 2>&1 || { cat "$work/output" >&2; return 1; }
    end=$(date +%s%N)
    awk -v ns=$((end - start)) 'BEGIN { printf "%.2f", ns / 1e9 }'
}

best() { awk -v a="$1" -v b="$2" 'BEGIN { print (b < a ? b : a) }'; }

printf '%-8s %12s %18s %18s\n' members plain "incremental first" "nothing new"
for n in "${members[@]}"; do
    dir=$work/$n
    mkdir -p "$dir"
    archive "$n" "$dir/sc_w3c_20240301_w3c.gz"
    cat >"$dir/config.xml" <<XML
<?xml version="1.0"?>
<Brenvale.Config>
	<DSN>bench</DSN>
	<Jobs>
		<Job>
			<File>$dir/sc_w3c_20240301_w3c.gz</File>
			<DBTable>logs</DBTable>
		</Job>
	</Jobs>
</Brenvale.Config>
XML
    fresh="DROP TABLE IF EXISTS logs; DROP TABLE IF EXISTS brenvale_checkpoint;
      CREATE TABLE logs (c_ip TEXT, c_dns TEXT, ts TEXT, uri TEXT, status TEXT, agent TEXT,
      bytes TEXT, duration TEXT, bandwidth TEXT);"
    # Single runs of a fraction of a second move by 20%: each figure is the best of $repeat.
    plain=9999 first=9999 again=9999
    for ((r = 0; r < repeat; r++)); do
        sqlite3 "$work/bench.db" "$fresh"
        plain=$(best "$plain" "$(seconds "$run" "$dir/config.xml" --commit-rows 1000)")
        sqlite3 "$work/bench.db" "$fresh"
        first=$(best "$first" "$(seconds "$run" "$dir/config.xml" --commit-rows 1000 --incremental)")
        again=$(best "$again" "$(seconds "$run" "$dir/config.xml" --commit-rows 1000 --incremental)")
    done
    rows=$(sqlite3 "$work/bench.db" "SELECT COUNT(*) FROM logs")
    [ "$rows" = $((n * 10)) ] || { echo "expected $((n * 10)) rows, found $rows" >&2; exit 1; }
    printf '%-8s %11.2fs %17.2fs %17.2fs\n' "$n" "$plain" "$first" "$again"
done
