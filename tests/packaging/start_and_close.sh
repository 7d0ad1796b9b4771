#!/bin/sh
# Starts the program through its launcher on a virtual X server, checks that
# the window that comes up belongs to the expected real executable, closes the
# window as a desktop's close box does and expects the program to end with
# status 0 within a bounded time.
#
#   start_and_close.sh <launcher> <real executable> <kv_close_window>
set -eu

if [ $# -ne 3 ]; then
  echo "usage: $0 <launcher> <real executable> <kv_close_window>" >&2
  exit 2
fi

if [ -z "${KV_ON_VIRTUAL_X:-}" ]; then
  if ! command -v xvfb-run >/dev/null 2>&1 || ! command -v xdotool >/dev/null 2>&1; then
    echo "FAIL: xvfb-run and xdotool are needed (scripts/setup installs them)" >&2
    exit 1
  fi
  # xvfb-run -a can lose a display number to an X server starting elsewhere
  # at the same moment; the program then cannot connect (exit 75): once more.
  for attempt in 1 2; do
    status=0
    KV_ON_VIRTUAL_X=1 xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "$0" "$@" || status=$?
    [ "$status" -eq 75 ] || exit "$status"
    echo "the virtual X server was not there; trying again" >&2
  done
  exit 1
fi

launcher=$1
expected=$(readlink -f -- "$2")
closer=$3

scratch=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -9 "$pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  if [ -s "$scratch/log" ]; then echo "--- program output:" >&2; cat "$scratch/log" >&2; fi
  exit 1
}

# A clean session: the X server of xvfb-run, no settings from the caller.
mkdir -m 700 "$scratch/runtime"
export XDG_RUNTIME_DIR="$scratch/runtime"
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY

"$launcher" >"$scratch/log" 2>&1 &
pid=$!

# Up to 60 s for the window; give up early when the program has ended.
window=
tries=0
while [ -z "$window" ]; do
  if ! kill -0 "$pid" 2>/dev/null; then
    if grep -q "could not connect to display" "$scratch/log"; then
      cat "$scratch/log" >&2
      exit 75
    fi
    fail "the program ended before its window came up"
  fi
  window=$(xdotool search --onlyvisible --name '^Kestrivane$' 2>/dev/null | head -n 1 || true)
  if [ -z "$window" ]; then
    tries=$((tries + 1))
    [ "$tries" -lt 600 ] || fail "no window named Kestrivane within 60 s"
    sleep 0.1
  fi
done

# The launcher must have exec'd the real executable: that is where the
# program looks for its firmware file and release notes.
running=$(readlink -f "/proc/$pid/exe" || true)
[ "$running" = "$expected" ] || fail "the window belongs to '$running', not to '$expected'"

"$closer" "$window" || fail "could not ask the window to close"

tries=0
while kill -0 "$pid" 2>/dev/null; do
  tries=$((tries + 1))
  [ "$tries" -lt 300 ] || fail "still running 30 s after its window was closed"
  sleep 0.1
done
status=0
wait "$pid" || status=$?
pid=
[ "$status" -eq 0 ] || fail "exit status $status after its window was closed"
echo "ok: $launcher started $expected, which ended with status 0 when its window was closed"
