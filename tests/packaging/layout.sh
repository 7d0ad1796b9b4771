# Checks of the installed layout, shared by check_install.sh and
# check_package.sh. Paths are relative to the install prefix, without a
# leading "./" or "/".

# check_layout <listing> <with vendor files: 0|1>
# <listing>: one installed path per line (files and folders).
check_layout() {
  listing=$1
  vendor=$2
  for path in \
      bin/kestrivane \
      lib/kestrivane/kestrivane \
      lib/udev/rules.d/70-kestrivane.rules \
      share/applications/kestrivane.desktop \
      share/metainfo/org.kestrivane.Kestrivane.metainfo.xml \
      share/icons/hicolor/scalable/apps/kestrivane.svg \
      share/icons/hicolor/48x48/apps/kestrivane.png \
      share/icons/hicolor/128x128/apps/kestrivane.png \
      share/icons/hicolor/256x256/apps/kestrivane.png \
      share/doc/kestrivane/copyright; do
    grep -qx "$path" "$listing" || layout_fail "missing: $path"
  done

  # bin/ holds the launcher only; the program's folder holds the program and,
  # when the packager gave them, the vendor's two files, nothing else.
  extra=$(grep '^bin/.' "$listing" | grep -vx 'bin/kestrivane' || true)
  [ -z "$extra" ] || layout_fail "unexpected in bin/: $extra"
  allowed='lib/kestrivane/kestrivane'
  if [ "$vendor" = 1 ]; then
    for path in lib/kestrivane/firmware/basis_firmware.hex lib/kestrivane/Release_Notes.pdf; do
      grep -qx "$path" "$listing" || layout_fail "missing: $path"
    done
    allowed="$allowed
lib/kestrivane/firmware
lib/kestrivane/firmware/basis_firmware.hex
lib/kestrivane/Release_Notes.pdf"
  fi
  extra=$(grep '^lib/kestrivane/.' "$listing" | grep -vxF "$allowed" || true)
  [ -z "$extra" ] || layout_fail "unexpected in lib/kestrivane/: $extra"

  # Without vendor files there is no firmware at all: never a made-up one,
  # never the demo's. The demo is not installed by default.
  if [ "$vendor" = 0 ]; then
    found=$(grep -e 'basis_firmware' -e 'Release_Notes' "$listing" || true)
    [ -z "$found" ] || layout_fail "firmware or release notes without vendor files: $found"
  fi
  found=$(grep -i 'demo' "$listing" || true)
  [ -z "$found" ] || layout_fail "demo files installed: $found"
}

# check_vendor_files <installed prefix> <vendor firmware> <vendor release notes>
# The installed files are the vendor's, byte for byte.
check_vendor_files() {
  cmp -s "$2" "$1/lib/kestrivane/firmware/basis_firmware.hex" ||
    layout_fail "installed firmware differs from the vendor's file $2"
  cmp -s "$3" "$1/lib/kestrivane/Release_Notes.pdf" ||
    layout_fail "installed release notes differ from the vendor's file $3"
}

layout_fail() {
  echo "FAIL: $*" >&2
  exit 1
}
