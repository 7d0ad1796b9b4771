#!/bin/sh
# Installs a built tree into a scratch folder (DESTDIR) under an unusual
# prefix and checks the layout: the launcher, the program in its own folder,
# the vendor's files beside it when given, the udev rule, desktop entry,
# metainfo and icons under the prefix, nothing outside it. Then starts the
# installed program through a link to the launcher, as a user's ~/bin link
# would, and closes its window.
#
#   check_install.sh <build dir> <kv_close_window> [<vendor firmware> <vendor release notes>]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/layout.sh"

if [ $# -ne 2 ] && [ $# -ne 4 ]; then
  echo "usage: $0 <build dir> <kv_close_window> [<vendor firmware> <vendor release notes>]" >&2
  exit 2
fi
build=$1
closer=$2
vendor=0
[ $# -eq 4 ] && vendor=1

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=/opt/kestrivane-check
dest="$scratch/root"

DESTDIR="$dest" cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1 ||
  { cat "$scratch/install.log" >&2; layout_fail "cmake --install failed"; }

# Everything lands under the prefix; the udev rule too (installing never
# writes to the system's own udev folders).
outside=$(cd "$dest" && find . -mindepth 1 | sed 's|^\.||' |
          grep -vx -e /opt -e "$prefix" | grep -v "^$prefix/" || true)
[ -z "$outside" ] || layout_fail "installed outside the prefix $prefix: $outside"

(cd "$dest$prefix" && find . -mindepth 1 | sed 's|^\./||' | sort) >"$scratch/listing"
check_layout "$scratch/listing" "$vendor"
[ "$vendor" = 1 ] && check_vendor_files "$dest$prefix" "$3" "$4"

launcher="$dest$prefix/bin/kestrivane"
[ -x "$launcher" ] || layout_fail "the launcher is not executable"
sh -n "$launcher" || layout_fail "the launcher is not a valid shell script"
grep -q "$dest" "$launcher" && layout_fail "the launcher names the staging folder"
grep -q "$prefix" "$launcher" && layout_fail "the launcher names the prefix; it must find the program relative to itself"
[ -x "$dest$prefix/lib/kestrivane/kestrivane" ] || layout_fail "the program is not executable"

check_cli "$dest$prefix"
check_units "$dest" "$prefix"
check_manual_pages "$dest$prefix"

mkdir "$scratch/home-bin"
ln -s "$launcher" "$scratch/home-bin/kestrivane"
"$here/start_and_close.sh" "$scratch/home-bin/kestrivane" "$dest$prefix/lib/kestrivane/kestrivane" "$closer"
echo "ok: install layout under $prefix"
