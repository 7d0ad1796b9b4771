#!/bin/sh
# Builds the Debian package from a built tree with cpack, into a scratch
# folder, and checks it with check_package.sh.
#
#   make_and_check_package.sh <build dir> <kv_close_window> [<vendor firmware> <vendor release notes>]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 2 ] || { echo "usage: $0 <build dir> <kv_close_window> [<vendor firmware> <vendor release notes>]" >&2; exit 2; }
build=$1
shift
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; echo "FAIL: cpack failed" >&2; exit 1; }
set -- "$(ls "$scratch"/kestrivane_*.deb)" "$@"
"$here/check_package.sh" "$@"
