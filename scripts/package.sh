#!/usr/bin/env bash
# Builds the Debian package, installs it with apt-get as a user would, checks that the installed
# programs start from /usr/bin, and removes it again (a copy installed before is removed too).
# Usage: package.sh [BUILD_DIR]
#   Without BUILD_DIR, configures and builds build-package/ (Release, no tests) first; with it,
#   packages that tree as it was built.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
package=brenvale
fail() {
    echo "package.sh: $*" >&2
    exit 1
}
[ "$(id -u)" = 0 ] || fail "run as root (it installs the package with apt-get)"

if [ $# -ge 1 ]; then
    dir=$(cd "$1" && pwd)
else
    dir=$root/build-package
    bash "$root/scripts/build.sh" "$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
fi
out=$dir/package
rm -rf "$out"
(cd "$dir" && cpack -G DEB -B "$out" >"$dir/cpack.log" 2>&1) || {
    cat "$dir/cpack.log" >&2
    fail "cpack failed"
}
debs=("$out/${package}"_*.deb)
if [ ${#debs[@]} != 1 ] || [ ! -f "${debs[0]}" ]; then
    fail "expected one ${package}_*.deb in $out"
fi
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
version=${version%-*}
echo "built $(basename "$deb")"

# What the package must hold, before anything is installed.
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in usr/bin/brenvale usr/bin/brenvale-run usr/bin/brenvale-report usr/bin/brenvale-dsn-setup \
    usr/share/applications/brenvale.desktop \
    usr/share/icons/hicolor/scalable/apps/brenvale.svg \
    usr/share/icons/hicolor/48x48/apps/brenvale.png \
    usr/share/man/man1/brenvale.1.gz usr/share/man/man1/brenvale-run.1.gz \
    usr/share/man/man1/brenvale-dsn-setup.1.gz usr/share/man/man1/brenvale-report.1.gz \
    usr/share/doc/$package/copyright usr/share/doc/$package/changelog.Debian.gz \
    usr/share/doc/$package/examples/brenvale-nightly.service \
    usr/share/doc/$package/examples/brenvale-nightly.timer; do
    grep -qx "\./$path" <<<"$contents" || fail "the package lacks /$path"
done
# dpkg-shlibdeps found the linked libraries, so the depends name unixODBC's.
dpkg-deb -f "$deb" Depends | grep -q 'libodbc2' || fail "the package's Depends lack libodbc2"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch"
desktop-file-validate "$scratch/usr/share/applications/brenvale.desktop" ||
    fail "the desktop entry is not valid"
grep -q 'Persistent=true' "$scratch/usr/share/doc/$package/examples/brenvale-nightly.timer" ||
    fail "the example timer does not catch up missed runs"

# Installed as a user would; removed again whatever happens below.
trap 'apt-get purge -y -q "$package" >/dev/null 2>&1 || true; rm -rf "$scratch"' EXIT
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q "$deb" >"$dir/apt-install.log" 2>&1 || {
    cat "$dir/apt-install.log" >&2
    fail "apt-get install failed"
}
echo "installed $package $version"

expect_version() {
    local program=$1
    local got
    got=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "/usr/bin/$program" --version) ||
        fail "/usr/bin/$program --version failed"
    [ "$got" = "$program $version" ] || fail "/usr/bin/$program --version printed '$got'"
    echo "/usr/bin/$program --version: $got"
}
expect_version brenvale-run
expect_version brenvale-report
expect_version brenvale
expect_version brenvale-dsn-setup
for page in brenvale brenvale-run brenvale-report brenvale-dsn-setup; do
    gzip -t "/usr/share/man/man1/$page.1.gz" || fail "man page $page(1) is damaged"
done

apt-get purge -y -q "$package" >"$dir/apt-remove.log" 2>&1 || {
    cat "$dir/apt-remove.log" >&2
    fail "apt-get purge failed"
}
[ ! -e /usr/bin/brenvale-run ] || fail "/usr/bin/brenvale-run is still there after the purge"
echo "removed $package"
