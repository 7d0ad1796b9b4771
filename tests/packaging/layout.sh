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
      bin/kestrivane-cli \
      lib/kestrivane/kestrivane \
      lib/kestrivane/kestrivane-cli \
      lib/kestrivane/kestrivaned \
      lib/systemd/system/kestrivaned.service \
      lib/systemd/user/kestrivaned.service \
      lib/sysusers.d/kestrivane.conf \
      share/man/man1/kestrivane.1.gz \
      share/man/man1/kestrivane-cli.1.gz \
      share/bash-completion/completions/kestrivane-cli \
      share/zsh/vendor-completions/_kestrivane-cli \
      lib/udev/rules.d/70-kestrivane.rules \
      share/applications/kestrivane.desktop \
      share/metainfo/org.kestrivane.Kestrivane.metainfo.xml \
      share/icons/hicolor/scalable/apps/kestrivane.svg \
      share/icons/hicolor/48x48/apps/kestrivane.png \
      share/icons/hicolor/128x128/apps/kestrivane.png \
      share/icons/hicolor/256x256/apps/kestrivane.png \
      share/doc/kestrivane/copyright \
      share/doc/kestrivane/changelog.gz; do
    grep -qx "$path" "$listing" || layout_fail "missing: $path"
  done

  # bin/ holds the launchers only; the program's folder holds the two programs
  # and, when the packager gave them, the vendor's two files, nothing else.
  extra=$(grep '^bin/.' "$listing" | grep -vx -e 'bin/kestrivane' -e 'bin/kestrivane-cli' || true)
  [ -z "$extra" ] || layout_fail "unexpected in bin/: $extra"
  allowed='lib/kestrivane/kestrivane
lib/kestrivane/kestrivane-cli
lib/kestrivane/kestrivaned'
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

# check_units <staging root> <install prefix>
# The service's two units: Type=notify with the watchdog, the daemon under
# the prefix; the system unit as its own user and group with its state folder
# and hardening, the user unit without a user; the user and group for
# systemd-sysusers. systemd's own checkers have the last word where they run.
check_units() {
  units_system="$1$2/lib/systemd/system/kestrivaned.service"
  units_user="$1$2/lib/systemd/user/kestrivaned.service"
  for units_file in "$units_system" "$units_user"; do
    [ -f "$units_file" ] || layout_fail "no unit $units_file"
    for units_line in 'Type=notify' "ExecStart=$2/lib/kestrivane/kestrivaned" 'WatchdogSec=10s' \
        'StateDirectory=kestrivane' 'NoNewPrivileges=yes' 'MemoryDenyWriteExecute=yes'; do
      grep -qx "$units_line" "$units_file" || layout_fail "$units_file lacks $units_line"
    done
  done
  for units_line in 'User=kestrivane' 'Group=kestrivane' 'ProtectSystem=strict' 'ProtectHome=yes' \
      'PrivateTmp=yes' 'DevicePolicy=closed' 'DeviceAllow=char-hidraw rw' 'DeviceAllow=char-usb_device rw' \
      'CapabilityBoundingSet=' 'WantedBy=multi-user.target'; do
    grep -qx "$units_line" "$units_system" || layout_fail "the system unit lacks $units_line"
  done
  grep -q '^User=' "$units_user" && layout_fail "the user unit names a user"
  grep -qx 'WantedBy=default.target' "$units_user" || layout_fail "the user unit is not for default.target"
  grep -qx 'u kestrivane - "Kestrivane signal tower service" /var/lib/kestrivane' "$1$2/lib/sysusers.d/kestrivane.conf" ||
    layout_fail "sysusers.d/kestrivane.conf does not make the user kestrivane"
  # systemd's checker, on copies that start the daemon where it lies now.
  if command -v systemd-analyze >/dev/null 2>&1; then
    units_tmp=$(mktemp -d)
    mkdir "$units_tmp/system" "$units_tmp/user" "$units_tmp/run"
    chmod 700 "$units_tmp/run"
    sed "s|^ExecStart=.*|ExecStart=$1$2/lib/kestrivane/kestrivaned|" "$units_system" >"$units_tmp/system/kestrivaned.service"
    sed "s|^ExecStart=.*|ExecStart=$1$2/lib/kestrivane/kestrivaned|" "$units_user" >"$units_tmp/user/kestrivaned.service"
    units_out=$(systemd-analyze verify --man=no "$units_tmp/system/kestrivaned.service" 2>&1) ||
      { rm -rf "$units_tmp"; layout_fail "systemd-analyze verify (system): $units_out"; }
    units_user_out=$(XDG_RUNTIME_DIR="$units_tmp/run" systemd-analyze --user verify --man=no \
                     "$units_tmp/user/kestrivaned.service" 2>&1) ||
      { rm -rf "$units_tmp"; layout_fail "systemd-analyze verify (user): $units_user_out"; }
    rm -rf "$units_tmp"
    [ -z "$units_out$units_user_out" ] || layout_fail "systemd-analyze verify: $units_out $units_user_out"
  fi
  if command -v systemd-sysusers >/dev/null 2>&1; then
    units_out=$(systemd-sysusers --root="$1" --dry-run "$1$2/lib/sysusers.d/kestrivane.conf" 2>&1) ||
      layout_fail "systemd-sysusers: $units_out"
    printf '%s\n' "$units_out" | grep -q 'kestrivane' || layout_fail "systemd-sysusers makes no user kestrivane: $units_out"
  fi
  return 0
}

# check_vendor_files <installed prefix> <vendor firmware> <vendor release notes>
# The installed files are the vendor's, byte for byte.
check_vendor_files() {
  cmp -s "$2" "$1/lib/kestrivane/firmware/basis_firmware.hex" ||
    layout_fail "installed firmware differs from the vendor's file $2"
  cmp -s "$3" "$1/lib/kestrivane/Release_Notes.pdf" ||
    layout_fail "installed release notes differ from the vendor's file $3"
}

# check_cli <installed prefix>
# The command-line program starts through its launcher (from any folder) and
# answers without a tower; its manual page is the one made from its --help.
# (Its variables are named cli_* so the callers' own stay untouched.)
check_cli() {
  cli_launcher="$1/bin/kestrivane-cli"
  [ -x "$cli_launcher" ] || layout_fail "the command-line launcher is not executable"
  cli_version=$(cd / && "$cli_launcher" --version) || layout_fail "kestrivane-cli --version failed"
  [ "$cli_version" = "kestrivane-cli ${KV_EXPECTED_VERSION:-2.8}" ] || layout_fail "kestrivane-cli --version says '$cli_version'"
  (cd / && "$cli_launcher" patterns) | grep -qx '  Birdy Num Num' || layout_fail "kestrivane-cli patterns lacks a sound pattern"
  cli_page=$(gzip -dc "$1/share/man/man1/kestrivane-cli.1.gz") || layout_fail "the manual page is not gzipped"
  for cli_command in list status patterns set on off update session; do
    printf '%s\n' "$cli_page" | grep -q "^$cli_command\b" ||
      layout_fail "the manual page lacks the command $cli_command"
  done
  printf '%s\n' "$cli_page" | grep -q '^\.TH KESTRIVANE-CLI "1"' || layout_fail "the manual page has no title line"
}

# check_manual_pages <installed prefix>
# The window's page is there, and the two pages name each other by their
# installed names. (Its variables are named man_*.)
check_manual_pages() {
  man_window=$(gzip -dc "$1/share/man/man1/kestrivane.1.gz") || layout_fail "kestrivane.1.gz is not gzipped"
  man_cli=$(gzip -dc "$1/share/man/man1/kestrivane-cli.1.gz") || layout_fail "kestrivane-cli.1.gz is not gzipped"
  printf '%s\n' "$man_window" | grep -q '^\.TH KESTRIVANE 1 ' || layout_fail "kestrivane(1) has no title line"
  for man_menu in 'Firmware Update Nelo' 'Port Mapping' 'Change Address' 'Switching Threshold'; do
    printf '%s\n' "$man_window" | grep -qF "$man_menu" || layout_fail "kestrivane(1) lacks the menu entry $man_menu"
  done
  printf '%s\n' "$man_window" | grep -q '^\.BR kestrivane\\-cli (1)' || layout_fail "kestrivane(1) does not refer to kestrivane-cli(1)"
  printf '%s\n' "$man_cli" | grep -q '^\.BR kestrivane (1)' || layout_fail "kestrivane-cli(1) does not refer to kestrivane(1)"
}

layout_fail() {
  echo "FAIL: $*" >&2
  exit 1
}
