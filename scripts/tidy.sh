#!/usr/bin/env bash
# Runs clang-tidy with the repository's .clang-tidy over every source file of src/, using the
# compile commands of a configured build tree. Usage: tidy.sh BUILD_DIR. Fails on any finding.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: tidy.sh BUILD_DIR}
# GCC-only warning switches in the compile commands are no finding of clang's.
output=$(run-clang-tidy -p "$build" -quiet -j "$(nproc)" -extra-arg=-Wno-unknown-warning-option \
    "$root/src/" 2>&1) || true
findings=$(printf '%s\n' "$output" | grep -E '(warning|error): ' | sort -u || true)
if [ -n "$findings" ]; then
    printf '%s\n' "$findings"
    echo "clang-tidy: $(printf '%s\n' "$findings" | wc -l) findings"
    exit 1
fi
echo "clang-tidy: no findings in $(find "$root/src" -name '*.cpp' | wc -l) source files"
