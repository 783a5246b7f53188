#!/usr/bin/env bash
# Prints the non-blank lines of code (src/) and of tests (tests/), C++ only, and their ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { git ls-files -- "$@" | xargs -r grep -cv '^\s*$' | awk -F: '{ s += $NF } END { print s + 0 }'; }
code=$(count 'src/*.cpp' 'src/*.h')
tests=$(count 'tests/*.cpp' 'tests/*.h')
echo "code: $code lines; tests: $tests lines; tests are $((100 * tests / code))% of the code"
