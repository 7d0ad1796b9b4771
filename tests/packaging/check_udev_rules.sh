#!/bin/sh
# Checks the udev rules file: its name sorts before the seat rules (uaccess
# works only there), one hidraw rule for the Base Controller matching the
# parent USB device's ids, one usb rule for the boot loader, ids in lower
# case (udev compares them as text, and sysfs has them in lower case), access
# by uaccess and for the service's group kestrivane (mode 0660) only, never a
# node others may open, no owner and nothing run from a rule.
#
#   check_udev_rules.sh <rules file>
set -eu
rules=$1
fail() { echo "FAIL: $*" >&2; exit 1; }

name=$(basename "$rules")
case "$name" in [0-9][0-9]-*.rules) ;; *) fail "'$name' is not NN-name.rules" ;; esac
first=$(printf '%s\n%s\n' "$name" 73-seat-late.rules | LC_ALL=C sort | head -n 1)
[ "$first" = "$name" ] && [ "$name" != 73-seat-late.rules ] || fail "'$name' does not sort before 73-seat-late.rules"

# The rules, one per line, without comments and blank lines; no line
# continuations, which would hide a rule from the checks below.
grep -q '\\$' "$rules" && fail "line continuations"
body=$(mktemp)
trap 'rm -f "$body"' EXIT
grep -v -e '^[[:space:]]*#' -e '^[[:space:]]*$' "$rules" >"$body" || true

[ "$(wc -l <"$body")" -eq 2 ] || fail "expected two rules, found $(wc -l <"$body")"

# Every rule: uaccess and the group kestrivane with 0660, and no other way
# to open the node.
while IFS= read -r line; do
  echo "$line" | grep -q 'TAG+="uaccess"' || fail "no uaccess: $line"
  echo "$line" | grep -q ', GROUP="kestrivane", MODE="0660",' || fail "not GROUP=\"kestrivane\", MODE=\"0660\": $line"
  rest=$(echo "$line" | sed 's/, GROUP="kestrivane", MODE="0660",/,/')
  echo "$rest" | grep -q -e 'MODE' -e 'GROUP' -e 'OWNER=' -e 'RUN' -e 'PROGRAM' && fail "grants more than uaccess and the group: $line"
  echo "$line" | grep -q 'id\(Vendor\|Product\)}=="[^"]*[A-F][^"]*"' && fail "upper-case id: $line"
done <"$body"

hid=$(grep -c '^SUBSYSTEM=="hidraw", .*ATTRS{idVendor}=="21fc", ATTRS{idProduct}=="0011",.* TAG+="uaccess"' "$body" || true)
[ "$hid" -eq 1 ] || fail "no single hidraw rule for 21fc:0011 with ATTRS (the ids sit on the parent USB device)"
boot=$(grep -c '^SUBSYSTEM=="usb", .*ATTR{idVendor}=="03eb", ATTR{idProduct}=="2ff4",.* TAG+="uaccess"' "$body" || true)
[ "$boot" -eq 1 ] || fail "no single usb rule for 03eb:2ff4"
grep -q 'SUBSYSTEM=="hidraw".*ATTR{' "$body" && fail "the hidraw rule matches ids on the hidraw node, which has none"

# udev's own checker, where this udev has one.
if command -v udevadm >/dev/null 2>&1 && udevadm verify --help >/dev/null 2>&1; then
  udevadm verify "$rules" || fail "udevadm verify"
fi
echo "ok: $rules"
