#!/usr/bin/env bash
# Installs, from Debian's packages, everything Quorvane Brenvale needs to build, run and test.
set -euo pipefail
if [ "$(id -u)" != 0 ]; then
    echo "install-deps.sh: run as root (it uses apt-get)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends \
    build-essential cmake ninja-build pkg-config git ca-certificates \
    qt6-base-dev libgl-dev libxkbcommon-dev \
    unixodbc unixodbc-dev odbcinst libsqliteodbc libsqlite3-dev odbc-postgresql libpq-dev libmariadb-dev \
    postgresql postgresql-client sqlite3 mariadb-server mariadb-client odbc-mariadb galera-4 rsync \
    libcurl4-openssl-dev zlib1g-dev libgtest-dev libgmock-dev \
    python3 xvfb xauth fonts-dejavu-core time \
    dpkg-dev file desktop-file-utils clang-tidy \
    libhowardhinnant-date-dev tzdata libloc-dev libloc-database libmaxminddb-dev \
    nlohmann-json3-dev qt6-charts-dev libqt6opengl6-dev libmaxmind-db-writer-perl
