#!/usr/bin/env bash
# --help and --version of the window programs answer on a machine with no display, and only as
# whole arguments before "/c". Usage: program_switches.sh BRENVALE DSN_SETUP VERSION
set -uo pipefail
brenvale=$1
dsn_setup=$2
version=$3
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
failures=0

# program | arguments | exit code | first line of stdout (empty: none) | reason
cases=(
    "$brenvale|--version|0|brenvale $version|the version, without a display"
    "$brenvale|--help|0|Usage: brenvale [/a] [/q] [/c CONFIG]|the usage, without a display"
    "$brenvale|/a --version|0|brenvale $version|a switch before it changes nothing"
    "$brenvale|/c --version|1||after /c it is the configuration's path"
    "$brenvale|--versions|1||only the whole argument counts"
    "$dsn_setup|--version|0|brenvale-dsn-setup $version|the version, without a display"
    "$dsn_setup|--help|0|Usage: brenvale-dsn-setup|the usage, without a display"
    "$dsn_setup|--helps|1||only the whole argument counts"
)
for entry in "${cases[@]}"; do
    IFS='|' read -r program arguments code first reason <<<"$entry"
    # shellcheck disable=SC2086 # the arguments are split on purpose
    out=$("$program" $arguments 2>/dev/null)
    got=$?
    line=${out%%$'\n'*}
    if [ "$got" != "$code" ] || [ "$line" != "$first" ]; then
        echo "FAIL: $(basename "$program") $arguments ($reason): exit $got, stdout '$line';" \
            "expected exit $code, '$first'"
        failures=$((failures + 1))
    fi
done
[ "$failures" = 0 ]
