#!/bin/sh
# Checks the desktop entry and the AppStream metainfo with the validators
# Debian uses, and that they agree with each other and with what is
# installed: the launcher's name, the icon's name, the program's version
# among the releases, and the rendered PNG icons at their sizes.
#
#   check_desktop.sh <kestrivane.desktop> <metainfo.xml> <icon.svg> <version> <icons dir> <sizes...>
set -eu
fail() { echo "FAIL: $*" >&2; exit 1; }
[ $# -ge 6 ] || { echo "usage: $0 <desktop> <metainfo> <icon.svg> <version> <icons dir> <sizes...>" >&2; exit 2; }
desktop=$1 metainfo=$2 svg=$3 version=$4 icons=$5
shift 5

command -v desktop-file-validate >/dev/null 2>&1 || fail "desktop-file-validate missing (scripts/setup installs it)"
command -v appstreamcli >/dev/null 2>&1 || fail "appstreamcli missing (scripts/setup installs it)"

# Hints are advice; errors and warnings fail.
out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
echo "$out" | grep -q -e 'error:' -e 'warning:' && fail "desktop-file-validate: $out"
out=$(appstreamcli validate --no-net "$metainfo" 2>&1) || fail "appstreamcli validate: $out"

key() { sed -n "s/^$1=//p" "$desktop"; }
tag() { sed -n "s|.*<$1[^>]*>\([^<]*\)</$1>.*|\1|p" "$metainfo"; }

[ "$(key Exec | cut -d' ' -f1)" = kestrivane ] || fail "Exec does not start the kestrivane launcher: $(key Exec)"
[ "$(key Icon)" = "$(basename "$svg" .svg)" ] || fail "Icon=$(key Icon) but the icon is $(basename "$svg")"
[ "$(key Type)" = Application ] || fail "Type=$(key Type)"

id=$(tag id)
[ "$(basename "$metainfo")" = "$id.metainfo.xml" ] || fail "metainfo file $(basename "$metainfo") for id $id"
[ "$(tag launchable)" = "$(basename "$desktop")" ] || fail "launchable $(tag launchable) is not $(basename "$desktop")"
[ "$(tag binary)" = kestrivane ] || fail "provides binary $(tag binary)"
[ "$(tag project_license)" = GPL-2.0-or-later ] || fail "project_license $(tag project_license)"
grep -q "<release version=\"$version\"" "$metainfo" || fail "no release $version in the metainfo"
# The newest release comes first.
first=$(sed -n 's|.*<release version="\([^"]*\)".*|\1|p' "$metainfo" | head -n 1)
[ "$first" = "$version" ] || fail "the first release is $first, not $version"

for size in "$@"; do
  png="$icons/${size}x${size}/kestrivane.png"
  [ -f "$png" ] || fail "no icon $png"
  file "$png" | grep -q "PNG image data, $size x $size, 8-bit/color RGBA" || fail "$png: $(file -b "$png")"
done
echo "ok: desktop entry, metainfo and icons"
