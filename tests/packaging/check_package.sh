#!/bin/sh
# Checks a built Debian package: its control fields and dependencies, the
# files it lists, lintian's verdict, and that the program unpacked from it
# starts through its launcher and ends cleanly when its window is closed.
#
#   check_package.sh <package.deb> <kv_close_window> [<vendor firmware> <vendor release notes>]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/layout.sh"

if [ $# -ne 2 ] && [ $# -ne 4 ]; then
  echo "usage: $0 <package.deb> <kv_close_window> [<vendor firmware> <vendor release notes>]" >&2
  exit 2
fi
deb=$1
closer=$2
vendor=0
[ $# -eq 4 ] && vendor=1
[ -f "$deb" ] || layout_fail "no package: $deb"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = kestrivane ] || layout_fail "package name is '$(field Package)'"
[ "$(field Version)" = "${KV_EXPECTED_VERSION:-2.8}" ] || layout_fail "version is '$(field Version)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || layout_fail "architecture is '$(field Architecture)'"
case "$(field Maintainer)" in *?\<*@*\>) ;; *) layout_fail "maintainer is '$(field Maintainer)'" ;; esac
[ -n "$(field Description)" ] || layout_fail "no description"

# Runtime dependencies: the libraries the program links and Qt's platform
# plugins, which no library pulls in.
depends=$(field Depends)
for dep in libqt6widgets6 libqt6gui6 libqt6core6 libhidapi-hidraw0 libusb-1.0-0 qt6-qpa-plugins libc6 libsystemd0 adduser; do
  echo "$depends" | tr ',|' '\n\n' | sed 's/^ *//; s/[ (].*//' | grep -qx "$dep" ||
    layout_fail "Depends lacks $dep: $depends"
done

# Every dependency names a real package in a version this machine, which
# built and runs the program, satisfies: a misspelt package name or a
# version no system has would make the package uninstallable.
satisfied() {  # satisfied "<name> [(<op> <version>)]"
  name=$(echo "$1" | sed 's/^ *//; s/[ (].*//')
  have=$(dpkg-query -W -f='${Status} ${Version}\n' "$name" 2>/dev/null | sed -n 's/^install ok installed //p' | head -n 1)
  [ -n "$have" ] || return 1
  op=$(echo "$1" | sed -n 's/.*(\([<>=]*\) *\([^)]*\)).*/\1/p')
  want=$(echo "$1" | sed -n 's/.*(\([<>=]*\) *\([^)]*\)).*/\2/p')
  [ -z "$op" ] && return 0
  case "$op" in '>=') op=ge ;; '<=') op=le ;; '>>') op=gt ;; '<<') op=lt ;; '=') op=eq ;; *) return 1 ;; esac
  dpkg --compare-versions "$have" "$op" "$want"
}
echo "$depends" | tr ',' '\n' | sed 's/^ *//' | grep -v '^$' >"$scratch/depends"
while IFS= read -r dep; do
  ok=0
  # Alternatives: one of them will do.
  for alt in $(echo "$dep" | sed 's/ *| */|/g; s/ /_/g' | tr '|' ' '); do
    if satisfied "$(echo "$alt" | tr '_' ' ')"; then ok=1; fi
  done
  [ "$ok" = 1 ] || layout_fail "dependency '$dep' is not satisfied by any installed package"
done <"$scratch/depends"

# The listed files, relative to /usr, and who owns them.
dpkg-deb -c "$deb" >"$scratch/contents"
awk '{print $6}' "$scratch/contents" | sed -n 's|^\./usr/||p' | sed 's|/$||' | grep -v '^$' | sort >"$scratch/listing"
outside=$(awk '{print $6}' "$scratch/contents" | grep -v -e '^\./$' -e '^\./usr/' -e '^\./usr$' || true)
[ -z "$outside" ] || layout_fail "files outside /usr: $outside"
check_layout "$scratch/listing" "$vendor"
owners=$(awk '$2 != "root/root" {print $2, $6}' "$scratch/contents")
[ -z "$owners" ] || layout_fail "not owned by root: $owners"
grep -q '^-rwxr-xr-x .* \./usr/bin/kestrivane$' "$scratch/contents" || layout_fail "the launcher is not mode 755"
grep -q '^-rwxr-xr-x .* \./usr/lib/kestrivane/kestrivane$' "$scratch/contents" || layout_fail "the program is not mode 755"
grep -q '^-rwxr-xr-x .* \./usr/bin/kestrivane-cli$' "$scratch/contents" || layout_fail "the command-line launcher is not mode 755"
grep -q '^-rwxr-xr-x .* \./usr/lib/kestrivane/kestrivane-cli$' "$scratch/contents" ||
  layout_fail "the command-line program is not mode 755"
grep -q '^-rwxr-xr-x .* \./usr/lib/kestrivane/kestrivaned$' "$scratch/contents" || layout_fail "the service is not mode 755"
grep -q '^-rw-r--r-- .* \./usr/lib/systemd/system/kestrivaned\.service$' "$scratch/contents" ||
  layout_fail "the system unit is not mode 644"
grep -q '^-rw-r--r-- .* \./usr/lib/udev/rules.d/70-kestrivane\.rules$' "$scratch/contents" ||
  layout_fail "the udev rule is not mode 644"

dpkg -x "$deb" "$scratch/root"
[ "$vendor" = 1 ] && check_vendor_files "$scratch/root/usr" "$3" "$4"
check_cli "$scratch/root/usr"
check_units "$scratch/root" /usr
# The service's user and group come from postinst, which enables nothing.
postinst="$scratch/control/postinst"
dpkg-deb -e "$deb" "$scratch/control"
[ -x "$postinst" ] || layout_fail "no executable postinst"
grep -q 'systemd-sysusers kestrivane.conf' "$postinst" || layout_fail "postinst does not make the service's user"
grep -q -e 'systemctl' -e 'deb-systemd-helper' "$postinst" && layout_fail "postinst enables or starts the service"
check_manual_pages "$scratch/root/usr"

# The changelog's newest entry is the package's version.
newest=$(gzip -dc "$scratch/root/usr/share/doc/kestrivane/changelog.gz" | sed -n '1s/^kestrivane (\([^)]*\)).*/\1/p')
[ "$newest" = "$(field Version)" ] || layout_fail "the changelog's newest entry is '$newest', the package is $(field Version)"

# Debian's own checks: no error and no warning. A tag the package overrides
# (usr/share/lintian/overrides/kestrivane) does not count.
command -v lintian >/dev/null || layout_fail "lintian is not installed (scripts/setup installs it)"
lintian_status=0
lintian --fail-on error,warning "$deb" >"$scratch/lintian" 2>&1 || lintian_status=$?
if [ "$lintian_status" -ne 0 ] || grep -q '^[EW]: ' "$scratch/lintian"; then
  cat "$scratch/lintian" >&2
  layout_fail "lintian found errors or warnings (status $lintian_status)"
fi

# The metainfo, desktop entry and icon as installed fit together.
out=$(appstreamcli validate-tree --no-net "$scratch/root" 2>&1) || layout_fail "appstreamcli validate-tree: $out"

# Start it as the menu does: the desktop entry's command, looked up on PATH.
exec_line=$(sed -n 's/^Exec=//p' "$scratch/root/usr/share/applications/kestrivane.desktop")
command=$(PATH="$scratch/root/usr/bin" command -v "${exec_line%% *}" || true)
[ "$command" = "$scratch/root/usr/bin/kestrivane" ] ||
  layout_fail "the menu entry's command '$exec_line' is not the packaged launcher"
"$here/start_and_close.sh" "$command" "$scratch/root/usr/lib/kestrivane/kestrivane" "$closer"
echo "ok: $deb"
