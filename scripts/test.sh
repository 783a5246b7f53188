#!/usr/bin/env bash
# Installs what is needed, then builds and runs every test twice: a Release build (the type a
# packager uses, so it must stay free of warnings) and one with address and undefined-behaviour
# sanitizers. Between the two test runs, the Release build's Debian package is installed, tried
# and removed, and clang-tidy reads the sources. The tests start their own PostgreSQL and MariaDB on 127.0.0.1 and share their
# databases, so they run one at a time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${BRENVALE_SKIP_INSTALL:-0}" != 1 ]; then
    bash "$root/scripts/install-deps.sh"
fi
export QT_QPA_PLATFORM=offscreen

status=0
bash "$root/scripts/build.sh" "$root/build-asan" -DBRENVALE_SANITIZE=ON
echo "=== tests, sanitizer build ==="
(cd "$root/build-asan" && ctest --output-on-failure) || status=1

bash "$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=Release
echo "=== Debian package from the Release build: build, install, run, remove ==="
bash "$root/scripts/package.sh" "$root/build" || status=1
echo "=== clang-tidy ==="
bash "$root/scripts/tidy.sh" "$root/build" || status=1
bash "$root/scripts/ratio.sh"

echo "=== tests, Release build ==="
(cd "$root/build" && ctest --output-on-failure) || status=1
exit $status
