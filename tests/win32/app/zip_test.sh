#!/usr/bin/env bash
# The Windows ZIP unpacks to one folder zaritmon-VERSION/ with the program,
# its plugins, the pictures and the documents. Every import of every .exe and
# .dll in it is in the ZIP or is Windows' own, and every DLL beside the
# program is imported by something in the ZIP (Qt loads the plugins by path).
#   zip_test.sh ZIP VERSION SYSTEM_DLL_LIST
set -euo pipefail
zip=$(realpath "$1")
version=$2
system_list=$3
fail() { echo "zip_test: $*" >&2; exit 1; }

[ -f "$zip" ] || fail "no $zip (scripts/package-windows makes it)"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
(cd "$tmp" && cmake -E tar xf "$zip")
[ "$(ls -A "$tmp")" = "zaritmon-$version" ] || fail "unpacks to '$(ls -A "$tmp" | tr '\n' ' ')', not zaritmon-$version/"
root=$tmp/zaritmon-$version
for f in zaritmon.exe platforms/qwindows.dll styles/qwindowsvistastyle.dll \
  GreenLedOn.bmp GreenLedOff.bmp RedLedOn.bmp RedLedOff.bmp README.md LICENSE.txt; do
  [ -f "$root/$f" ] || fail "no $f in the ZIP"
done

lower() { tr 'A-Z' 'a-z'; }
declare -A system=() present=() imported=()
while read -r name; do system[$name]=1; done < <(grep -v '^#' "$system_list" | lower)
while read -r f; do present[$(basename "$f" | lower)]=1; done < <(find "$root" -maxdepth 1 -iname '*.dll')

problems=0
while read -r pe; do
  while read -r name; do
    name=$(lower <<<"$name")
    imported[$name]=1
    if [ -z "${present[$name]:-}" ] && [ -z "${system[$name]:-}" ] \
      && [[ $name != api-ms-win-* && $name != ext-ms-win-* ]]; then
      echo "zip_test: ${pe#"$root"/} imports $name, which is neither in the ZIP nor Windows' own" >&2
      problems=$((problems + 1))
    fi
  done < <(x86_64-w64-mingw32-objdump -p "$pe" | sed -n 's/^[[:space:]]*DLL Name: //p')
done < <(find "$root" -iname '*.exe' -o -iname '*.dll')
for name in "${!present[@]}"; do
  if [ -z "${imported[$name]:-}" ]; then
    echo "zip_test: nothing in the ZIP imports $name" >&2
    problems=$((problems + 1))
  fi
done
[ "$problems" -eq 0 ] || exit 1
echo "zip_test: $(find "$root" -type f | wc -l) files, every import found"
