#!/bin/sh
# The command-line program on the virtual tower as a process: a session whose
# standard input stays open ends on SIGTERM (and on SIGINT) with status 0,
# after the tower's state came in, and before its input ended.
#
#   session_signal.sh <kestrivane-cli-demo>
set -eu
[ $# -eq 1 ] || { echo "usage: $0 <kestrivane-cli-demo>" >&2; exit 2; }
program=$1
scratch=$(mktemp -d)
pid=
keeper=
cleanup() {
  [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null || true
  [ -n "$keeper" ] && kill "$keeper" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$scratch/out" ] && cat "$scratch/out" >&2; exit 1; }

for signal in TERM INT; do
  rm -f "$scratch/in" "$scratch/out"
  mkfifo "$scratch/in"
  # Keeps the session's input open: it must end on the signal, not on EOF.
  sleep 60 >"$scratch/in" &
  keeper=$!
  "$program" session <"$scratch/in" >"$scratch/out" 2>&1 &
  pid=$!
  i=0
  until grep -q '"event":"state"' "$scratch/out" 2>/dev/null; do
    i=$((i + 1))
    [ $i -le 100 ] || fail "no state line within 10 s"
    kill -0 "$pid" 2>/dev/null || fail "the session ended before the signal"
    sleep 0.1
  done
  kill -"$signal" "$pid"
  i=0
  while kill -0 "$pid" 2>/dev/null; do
    i=$((i + 1))
    [ $i -le 50 ] || fail "still running 5 s after SIG$signal"
    sleep 0.1
  done
  status=0
  wait "$pid" || status=$?
  pid=
  [ "$status" = 0 ] || fail "ended with status $status after SIG$signal"
  kill "$keeper" 2>/dev/null || true
  keeper=
done
# The reader of its output goes away (a monitor that quit): the session is
# not killed mid-connection by SIGPIPE but ends as on a signal.
rm -f "$scratch/in" "$scratch/out"
mkfifo "$scratch/in" "$scratch/out"
"$program" session <"$scratch/in" >"$scratch/out" 2>"$scratch/err" &
pid=$!
exec 3>"$scratch/in"
head -n 1 <"$scratch/out" >"$scratch/first"
grep -q '"event":"state"' "$scratch/first" || fail "no state line first"
echo patterns >&3
i=0
while kill -0 "$pid" 2>/dev/null; do
  i=$((i + 1))
  [ $i -le 50 ] || fail "still running 5 s after its reader went away"
  sleep 0.1
done
status=0
wait "$pid" || status=$?
pid=
exec 3>&-
[ "$status" = 0 ] || fail "ended with status $status after its reader went away"
echo "ok: session ends on SIGTERM and SIGINT, and when its reader goes away"
