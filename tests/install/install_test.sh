#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks the files laid out,
# the desktop entry, and that the installed program, started in a folder with
# no pictures, takes the installed ones and still prefers one in its folder.
# Usage: install_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(cd "$(mktemp -d)" && pwd -P)  # as the program sees its folders
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort) >"$tmp/files"
diff -u "$here/expected-files.txt" "$tmp/files" || fail "installed files differ from expected-files.txt"

desktop=$prefix/share/applications/zaritmon.desktop
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$desktop" || fail "desktop-file-validate"
else
  echo "desktop-file-validate missing (scripts/bootstrap installs it): not run"
fi
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
icon_name=$(sed -n 's/^Icon=//p' "$desktop")
[ -x "$prefix/bin/$exec_name" ] || fail "the menu entry starts '$exec_name', not installed in bin/"
[ -f "$prefix/share/icons/hicolor/scalable/apps/$icon_name.svg" ] || fail "no icon '$icon_name'"

export QT_QPA_PLATFORM=offscreen
program=$prefix/bin/zaritmon
out=$("$program" --version) || fail "--version exited $?"
[ "$out" = "zaritmon $version" ] || fail "--version printed '$out'"
status=0
err=$("$program" --no-such-option 2>&1 >/dev/null) || status=$?
[ "$status" -eq 2 ] || fail "an unknown option exited $status, not 2"
grep -q "no-such-option" <<<"$err" || fail "no message names the unknown option: '$err'"

mkdir "$tmp/work"
cd "$tmp/work"
"$program" --pictures >"$tmp/pictures" || fail "--pictures: a picture is missing: $(cat "$tmp/pictures")"
for name in GreenLedOn GreenLedOff RedLedOn RedLedOff; do
  grep -qxF "$name.bmp: $prefix/share/zaritmon/$name.bmp" "$tmp/pictures" ||
    fail "$name.bmp is not the installed one: $(cat "$tmp/pictures")"
done
cp "$prefix/share/zaritmon/RedLedOn.bmp" "$tmp/work/"
"$program" --pictures >"$tmp/pictures"
grep -qxF "RedLedOn.bmp: $tmp/work/RedLedOn.bmp" "$tmp/pictures" ||
  fail "a picture in the working folder is not preferred: $(cat "$tmp/pictures")"

# The menu entry's folder: made when missing, then worked in.
XDG_DATA_HOME=$tmp/data "$program" --user-folder --pictures >/dev/null
[ -d "$tmp/data/zaritmon" ] || fail "--user-folder did not make $tmp/data/zaritmon"
cp "$prefix/share/zaritmon/RedLedOn.bmp" "$tmp/data/zaritmon/"
XDG_DATA_HOME=$tmp/data "$program" --user-folder --pictures >"$tmp/pictures"
grep -qxF "RedLedOn.bmp: $tmp/data/zaritmon/RedLedOn.bmp" "$tmp/pictures" ||
  fail "--user-folder does not work in $tmp/data/zaritmon: $(cat "$tmp/pictures")"
# The service's unit as systemd reads it, pointed at the installed station;
# systemd-analyze says what it ignores but exits 0, so any word is a fault.
if command -v systemd-analyze >/dev/null; then
  mkdir "$tmp/unit"
  sed "s|/usr/bin/zaritmon-station|$prefix/bin/zaritmon-station|" \
    "$prefix/lib/systemd/system/zaritmon-station.service" >"$tmp/unit/zaritmon-station.service"
  said=$(systemd-analyze verify "$tmp/unit/zaritmon-station.service" 2>&1) || fail "systemd-analyze verify: $said"
  [ -z "$said" ] || fail "systemd-analyze verify: $said"
else
  echo "systemd-analyze missing: the unit is not verified"
fi
"$prefix/bin/zaritmon-station" --help | grep -q -- "--config" || fail "zaritmon-station --help"
echo "install layout, desktop entry, options, picture lookup and the station's unit: ok"
