#!/usr/bin/env bash
# Builds the Debian package from the build folder into a temporary folder and
# checks its name, its layout against expected-files.txt, that its
# dependencies came from dpkg-shlibdeps, and that lintian finds no error.
# Usage: package_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
here=$(cd "$(dirname "$0")" && pwd)
for tool in dpkg-deb dpkg-shlibdeps lintian; do
  command -v "$tool" >/dev/null || { echo "$tool missing (scripts/bootstrap installs it): skipped"; exit 77; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 || { cat "$tmp/cpack.log"; fail cpack; }
deb=$tmp/out/zaritmon_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $deb: $(ls "$tmp/out")"

dpkg-deb -x "$deb" "$tmp/root"
(cd "$tmp/root/usr" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort) >"$tmp/files"
diff -u "$here/expected-files.txt" "$tmp/files" || fail "the package's files differ from expected-files.txt"
[ "$(find "$tmp/root" -mindepth 1 -maxdepth 1)" = "$tmp/root/usr" ] || fail "files outside /usr"

depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt6widgets6 libmodbus5; do
  grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done

status=0
lintian --no-tag-display-limit "$deb" >"$tmp/lintian" 2>&1 || status=$?
cat "$tmp/lintian"
! grep -q '^E:' "$tmp/lintian" || fail "lintian reports errors"
[ "$status" -eq 0 ] || fail "lintian exited $status"
echo "package $(basename "$deb"): ok"
