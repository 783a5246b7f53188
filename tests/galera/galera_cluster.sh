#!/usr/bin/env bash
# Three brenvale-run loaders, one per node of a three-node MariaDB Galera cluster on 127.0.0.1,
# each with the other nodes as fallbacks: a node killed with SIGKILL in the middle and started
# again, then a node cut off from the primary component, and every line of every log exactly
# once in the table, counted on every node.
# Usage: galera_cluster.sh BRENVALE_RUN SQL_PORT GALERA_PORT
#   SQL_PORT, SQL_PORT+1, SQL_PORT+2: the nodes' SQL ports; GALERA_PORT...GALERA_PORT+8: their
#   group communication, incremental and snapshot transfer ports, three each.
set -euo pipefail
run=$1 sqlport=$2 gport=$3
dir=/tmp/brenvale-galera-$sqlport
lines=100000
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
sql_port() { echo $((sqlport + $1 - 1)); }
node_dir() { echo "$dir/node$1"; }
# Runs SQL on node N as root, through its socket; reads wait for every commit of the cluster.
on_node() {
    local n=$1
    shift
    mariadb -S "$(node_dir "$n")/sock" -u root -N -B brenvale \
        -e "SET SESSION wsrep_sync_wait = 1; $*"
}
status_of() {
    mariadb -S "$(node_dir "$1")/sock" -u root -N -B -e "SHOW STATUS LIKE '$2'" 2>/dev/null |
        cut -f2
}
# Waits until test CONDITION holds, checking ten times a second; fails after LIMIT seconds.
wait_for() {
    local limit=$1 what=$2
    shift 2
    for _ in $(seq 1 $((limit * 10))); do
        if "$@"; then return 0; fi
        sleep 0.1
    done
    echo "gave up waiting for $what" >&2
    for n in 1 2 3; do tail -n 20 "$(node_dir "$n")/error.log" >&2 2>/dev/null || true; done
    return 1
}
is_synced() { [ "$(status_of "$1" wsrep_local_state_comment)" = Synced ]; }
is_cut_off() { [ "$(status_of "$1" wsrep_cluster_status)" = non-Primary ]; }

write_options() {
    local n=$1 d
    d=$(node_dir "$n")
    local g=$((gport + (n - 1) * 3))
    local members="127.0.0.1:$gport,127.0.0.1:$((gport + 3)),127.0.0.1:$((gport + 6))"
    local user=""
    [ "$(id -u)" = 0 ] && user="user=mysql"
    # Its own option file, or a node reads the machine's /etc/mysql/my.cnf; a small buffer pool
    # and log, so three nodes fit a small machine.
    cat >"$d/my.cnf" <<CNF
[mariadbd]
$user
datadir=$d/data
port=$(sql_port "$n")
bind-address=127.0.0.1
socket=$d/sock
pid-file=$d/pid
log-error=$d/error.log
skip-name-resolve
innodb_buffer_pool_size=8M
innodb_log_file_size=8M
innodb_flush_log_at_trx_commit=0
# A loader waits for a row the test holds until the node dies or, on a node cut off (where the
# holder's leaving frees nothing), for this long.
innodb_lock_wait_timeout=20
innodb_autoinc_lock_mode=2
binlog_format=ROW
default_storage_engine=InnoDB
performance_schema=OFF
character-set-server=utf8mb4
collation-server=utf8mb4_general_ci
wsrep_on=ON
wsrep_provider=/usr/lib/galera/libgalera_smm.so
wsrep_cluster_name=brenvale_test_$sqlport
wsrep_cluster_address=gcomm://$members
wsrep_node_name=node$n
wsrep_node_address=127.0.0.1:$g
wsrep_node_incoming_address=127.0.0.1:$(sql_port "$n")
wsrep_sst_method=rsync
wsrep_sst_receive_address=127.0.0.1:$((g + 2))
wsrep_provider_options="gmcast.listen_addr=tcp://127.0.0.1:$g;ist.recv_addr=127.0.0.1:$((g + 1));gcache.size=64M"
CNF
}

start_node() {
    local n=$1 d
    shift
    d=$(node_dir "$n")
    rm -f "$d/sock"
    setsid mariadbd --defaults-file="$d/my.cnf" "$@" </dev/null >/dev/null 2>&1 &
    # Killed on purpose later: no word from the shell then.
    disown
    wait_for 300 "node $n to join" is_synced "$n"
}

kill_node() {
    local pid
    pid=$(cat "$(node_dir "$1")/pid" 2>/dev/null || true)
    if [ -n "$pid" ]; then
        kill -9 "$pid" 2>/dev/null || true
        while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
    fi
    rm -f "$(node_dir "$1")/pid"
}

# A killed node comes back from where its own data ends: the position it recovers, never a new
# cluster of its own.
restart_node() {
    local n=$1 d position
    d=$(node_dir "$n")
    mariadbd --defaults-file="$d/my.cnf" --wsrep-recover --log-error="$d/recover.log" \
        </dev/null >/dev/null 2>&1
    position=$(sed -n 's/.*WSREP: Recovered position: *//p' "$d/recover.log" | tail -n 1)
    [ -n "$position" ] || { echo "node $n recovered no position" >&2; return 1; }
    start_node "$n" --wsrep-start-position="$position"
}

cleanup() {
    local code=$?
    for p in "${loaders[@]:-}"; do [ -n "$p" ] && kill -9 "$p" 2>/dev/null || true; done
    for n in 1 2 3; do kill_node "$n"; done
    # What went wrong stays for a look.
    if [ "$code" = 0 ]; then rm -rf "$dir"; else echo "the cluster's folders stay in $dir"; fi
}
loaders=()
trap cleanup EXIT

# --- the cluster ---
for n in 1 2 3; do kill_node "$n"; done
rm -rf "$dir"
for n in 1 2 3; do
    mkdir -p "$(node_dir "$n")/data"
    write_options "$n"
done
[ "$(id -u)" = 0 ] && chown -R mysql:mysql "$dir"
user=()
[ "$(id -u)" = 0 ] && user=(--user=mysql)
mariadb-install-db --no-defaults --datadir="$(node_dir 1)/data" "${user[@]}" \
    --auth-root-authentication-method=normal --skip-test-db >"$dir/install.log" 2>&1
start_node 1 --wsrep-new-cluster
mariadb -S "$(node_dir 1)/sock" -u root -e "CREATE DATABASE brenvale;
    CREATE USER brenvale@'127.0.0.1' IDENTIFIED BY 'brenvale';
    GRANT ALL ON brenvale.* TO brenvale@'127.0.0.1';"
# One at a time: a node that hands its data over by rsync takes no writes meanwhile.
start_node 2
start_node 3

libdir=/usr/lib/x86_64-linux-gnu/odbc
[ -d "$libdir" ] || libdir=$(dirname "$(find /usr/lib -name libmaodbc.so | head -n 1)")
export ODBCSYSINI=$dir ODBCINI=$dir/odbc.user.ini
: >"$ODBCINI"
printf '[MariaDB Unicode]\nDriver=%s/libmaodbc.so\n' "$libdir" >"$dir/odbcinst.ini"
for n in 1 2 3; do
    # Server and Port: "localhost" would go through the machine's own server's socket.
    printf '[galera%s]\nDriver=MariaDB Unicode\nServer=127.0.0.1\nPort=%s\nDatabase=brenvale\nUser=brenvale\nPassword=brenvale\n\n' \
        "$n" "$(sql_port "$n")" >>"$dir/odbc.ini"
done

# Lines FIRST..LAST of log K (a new file from line 1), their second field saying which log and
# line they are.
write_log() {
    local k=$1 first=$2 last=$3
    [ "$first" = 1 ] && printf '%s\n' "#Software: SHOUTcast" "#Version: 2.6.1" \
        "#Fields: c-ip c-dns date time cs-uri-stem c-status cs(User-Agent) sc-bytes x-duration avgbandwidth" \
        >"$dir/log$k.log"
    awk -v k="$k" -v first="$first" -v last="$last" 'BEGIN {
        for (i = first; i <= last; i++)
            printf "192.0.2.%d L%s-%d 2024-03-01 18:04:11 /stream?title=Joga 200 VLC%%2F3.0 1048576 65 128\n", i % 250, k, i
    }' >>"$dir/log$k.log"
}
# A configuration naming DSN, then FALLBACKS..., for log K.
write_config() {
    local k=$1 dsn=$2
    shift 2
    {
        echo '<?xml version="1.0"?>'
        echo '<Brenvale.Config>'
        echo "<DSN>$dsn</DSN>"
        for f in "$@"; do echo "<FallbackDSN>$f</FallbackDSN>"; done
        echo '<CommitRows>1000</CommitRows>'
        echo '<Incremental>True</Incremental>'
        echo "<Jobs><Job><File>$dir/log$k.log</File><DBTable>galera_logs</DBTable></Job></Jobs>"
        echo '</Brenvale.Config>'
    } >"$dir/config$k.xml"
}
# The arguments of loader K: loader 2 names its nodes on the command line.
loader_args() {
    case $1 in
    2) echo "$dir/config2.xml --dsn galera2,galera3,galera1" ;;
    *) echo "$dir/config$1.xml" ;;
    esac
}
start_loader() {
    [ -f "$dir/out$1.txt" ] && cat "$dir/out$1.txt" >>"$dir/earlier$1.txt"
    # shellcheck disable=SC2046 # the arguments are split on purpose
    "$run" $(loader_args "$1") --create-tables "${@:2}" >"$dir/out$1.txt" 2>&1 &
    loaders[$1]=$!
}
finish_loader() {
    local code=0
    wait "${loaders[$1]}" || code=$?
    loaders[$1]=
    [ "$code" = 0 ] || fail "loader $1 ended with $code: $(tail -n 5 "$dir/out$1.txt")"
}
count_of() { on_node "$1" "SELECT COUNT(*) FROM galera_logs WHERE c_dns LIKE 'L$2-%'" 2>/dev/null || echo 0; }
# Loader K has not ended (a loader that ended and is not yet waited for counts as ended).
running() {
    [ -n "${loaders[$1]:-}" ] && ps -o stat= -p "${loaders[$1]}" 2>/dev/null | grep -qv Z
}
innodb_trx() { on_node "$1" "SELECT COUNT(*) FROM information_schema.INNODB_TRX WHERE $2" 2>/dev/null || echo 0; }
row_held() { [ "$(innodb_trx "$1" "trx_rows_locked > 0")" -ge 1 ]; }
# Loader K waits for the held row on node N, or ended before.
waits_for_row() { [ "$(innodb_trx "$1" "trx_state = 'LOCK WAIT'")" -ge 1 ] || ! running "$2"; }
# Holds, in a session of node N, the row that counts the commits of log K, until release_row: a
# loader of log K then waits in the middle of its run, at its next commit, as long as needed.
hold_row() {
    local n=$1 k=$2
    rm -f "$dir/hold.fifo"
    mkfifo "$dir/hold.fifo"
    mariadb -S "$(node_dir "$n")/sock" -u root brenvale <"$dir/hold.fifo" >/dev/null 2>&1 &
    holder=$!
    exec 9>"$dir/hold.fifo"
    # Through the key, so only that row is held: a lock on other loaders' rows would be taken
    # away by their commits arriving from the other nodes.
    echo "BEGIN; SET @k = (SELECT source_key FROM brenvale_checkpoint WHERE file_id = 'claim' AND source LIKE '%/log$k.log');
        SELECT line_number FROM brenvale_checkpoint WHERE source_key = @k AND file_id = 'claim' FOR UPDATE;" >&9
    wait_for 60 "the row of log $k held on node $n" row_held "$n"
}
# Ends the holding session (a node cut off still takes a client's leaving).
release_row() {
    exec 9>&-
    wait "$holder" 2>/dev/null || true
}

# A first part of each log, loaded by three loaders side by side.
first_part=$((lines * 3 / 10))
for k in 1 2 3; do write_log "$k" 1 "$first_part"; done
write_config 1 galera1 galera2 galera3
write_config 2 galera1
write_config 3 galera3 galera1 galera2

# --- three loaders; node 1 is killed while its loader waits on it, and comes back ---
for k in 1 2 3; do start_loader "$k"; done
for k in 1 2 3; do finish_loader "$k"; done
for k in 1 2 3; do write_log "$k" $((first_part + 1)) "$lines"; done
# Loader 1 waits for its row on node 1 when the node dies; the others start beside it then
# (their commits arriving at node 1 would take the held row away).
hold_row 1 1
start_loader 1
wait_for 600 "loader 1 to wait for its row" waits_for_row 1 1
running 1 || fail "loader 1 ended without waiting for its row: $(cat "$dir/out1.txt")"
kill_node 1
release_row
start_loader 2
start_loader 3
restart_node 1
for k in 1 2 3; do finish_loader "$k"; done
grep -q "The database connection was lost during .* and made again" "$dir/out1.txt" ||
    fail "loader 1 did not report its new connection: $(cat "$dir/out1.txt")"
# Every loader once more: nothing is left, nothing is loaded twice.
for k in 1 2 3; do
    start_loader "$k"
    finish_loader "$k"
done

declare -A expected_rows=([1]=$lines [2]=$lines [3]=$lines)
check_counts() {
    local what=$1 n k expected got
    shift
    for n in "$@"; do
        for k in "${!expected_rows[@]}"; do
            expected=${expected_rows[$k]}
            got=$(on_node "$n" "SELECT COUNT(*), COUNT(DISTINCT c_dns) FROM galera_logs WHERE c_dns LIKE 'L$k-%'")
            [ "$got" = "$expected	$expected" ] ||
                fail "$what: node $n holds '$got' rows (all, distinct) of log $k, not $expected"
        done
    done
}
check_counts "after the node's loss" 1 2 3
engines=$(on_node 2 "SELECT GROUP_CONCAT(ENGINE ORDER BY TABLE_NAME) FROM information_schema.TABLES WHERE TABLE_SCHEMA = 'brenvale'")
[ "$engines" = "InnoDB,InnoDB" ] || fail "the created tables' engines are '$engines', not InnoDB"

# --- one log, two loaders on two nodes at once: whichever commits first, the other's commit
# loses Galera's certification or finds the count moved on, and gives way ---
write_log 5 1 20000
write_config 5 galera1 galera2
expected_rows[5]=20000
start_loader 5
"$run" "$dir/config5.xml" --dsn galera2,galera1 >"$dir/out6.txt" 2>&1 || fail "the second loader of log 5 ended with $?: $(cat "$dir/out6.txt")"
finish_loader 5
check_counts "after two loaders of one log" 1 2 3

# --- a node cut off from the primary component ---
log4=50000
write_log 4 1 $((log4 / 2))
expected_rows[4]=$log4
write_config 4 galera3 galera2
start_loader 4
finish_loader 4
write_log 4 $((log4 / 2 + 1)) "$log4"
hold_row 3 4
start_loader 4
wait_for 600 "loader 4 to wait for its row" waits_for_row 3 4
running 4 || fail "loader 4 ended without waiting for its row: $(cat "$dir/out4.txt")"
mariadb -S "$(node_dir 3)/sock" -u root -e "SET GLOBAL wsrep_provider_options = 'gmcast.isolate=1'"
wait_for 120 "node 3 to leave the primary component" is_cut_off 3
release_row
finish_loader 4
# A run that starts while the node is cut off goes to the next node at once; one with no
# other node says why it cannot load.
start_loader 4 --dsn galera3,galera1
finish_loader 4
code=0
"$run" "$dir/config4.xml" --dsn galera3 --reconnect-seconds 0 >"$dir/alone.txt" 2>&1 || code=$?
[ "$code" = 4 ] || fail "a run on the cut-off node alone ended with $code, not 4"
grep -q "primary component" "$dir/alone.txt" ||
    fail "a run on the cut-off node alone did not say why: $(cat "$dir/alone.txt")"
mariadb -S "$(node_dir 3)/sock" -u root -e "SET GLOBAL wsrep_provider_options = 'gmcast.isolate=0'"
wait_for 300 "node 3 to join again" is_synced 3
check_counts "after the cut-off node" 1 2 3

# What the loaders said about their connections, for whoever reads the test's output.
cat "$dir"/*.txt | grep -h "connection\|primary component\|Another run" || true
if [ "$failures" = 0 ]; then
    echo "Galera cluster: 3 x $lines lines and two more logs, a node killed and one cut off: every line once on every node"
fi
[ "$failures" = 0 ]
