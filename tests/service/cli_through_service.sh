#!/usr/bin/env bash
# kestrivane-cli-demo beside kestrivaned-demo, each with its own virtual
# tower and one lock folder between them: a CLI that opened its tower while
# the service runs would find it held and fail. Every one-shot command gives
# through the service what it gives opening the tower itself; what it sets
# stays after it ends; the socket's permissions, a stale socket, a symbolic
# link, a second service, and a socket nobody answers on.
set -euo pipefail
bin=$1
cli=$2
work=$(mktemp -d)
pid=""
hung=""
cleanup() {
  for p in $pid $hung; do
    if kill -0 "$p" 2>/dev/null; then kill "$p"; wait "$p" || true; fi
  done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; echo "--- service output:" >&2; cat "$work/out" >&2 || true; exit 1; }

export KESTRIVANE_LOCK_DIR="$work/locks"
mkdir "$KESTRIVANE_LOCK_DIR"
export XDG_RUNTIME_DIR="$work/run"
mkdir -m 700 "$XDG_RUNTIME_DIR"
sock="$XDG_RUNTIME_DIR/kestrivaned/api.sock"
unset KESTRIVANE_SOCKET

# Starts the service on `sock` (waits for it to say so); its pid in $pid.
start() {
  "$bin" --listen 127.0.0.1 --port 0 --no-token --socket "$1" >"$work/out" 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    grep -qxF "kestrivaned: listening on $1" "$work/out" && return 0
    kill -0 "$pid" 2>/dev/null || fail "the service ended at start"
    sleep 0.05
  done
  fail "the service did not say it listens on $1"
}
stop() {
  kill -TERM "$pid"
  wait "$pid" || fail "the service did not end with 0"
  pid=""
}

# Every one-shot command, as the CLI prints it (out, err, exit code).
cases=(
  "list" "list --json" "status" "status --json" "--device /dev/hidraw-virtual0 status --json"
  "--device nowhere status" "--device nowhere --json on 1"
  "set 2 Flash --json" "set 2 flash --level 50" "set sound siren --level 80 --json"
  "set 'Blue 1' Siren" "set 'Blue 1' Flash --level 150 --json" "on 'Red 2'" "on 6"
  "on 1" "on 1 --json" "off sound --json" "off 'White 1'"
)
run_all() {
  local dir=$1
  shift
  mkdir -p "$dir"
  local i=0
  for c in "${cases[@]}"; do
    set +e
    eval "\"\$cli\" $* $c" >"$dir/$i.out" 2>"$dir/$i.err"
    echo $? >"$dir/$i.code"
    set -e
    i=$((i + 1))
  done
}

# Nothing listens: the CLI opens its tower itself, as before the service.
run_all "$work/direct"
[ "$(cat "$work/direct/14.out")" = "On." ] || fail "direct on 1: $(cat "$work/direct/14.err")"

start "$sock"
[ "$(stat -c %a "$sock")" = 600 ] || fail "the user's socket is mode $(stat -c %a "$sock")"
[ "$(stat -c %a "$(dirname "$sock")")" = 700 ] || fail "its folder is mode $(stat -c %a "$(dirname "$sock")")"
# Found where a user's service makes it, without being told.
run_all "$work/service"
for i in "${!cases[@]}"; do
  for part in out err code; do
    cmp -s "$work/direct/$i.$part" "$work/service/$i.$part" ||
      fail "'${cases[$i]}' $part differs through the service:
$(diff "$work/direct/$i.$part" "$work/service/$i.$part")"
  done
done

# What the CLI set stays while the service runs, after the CLI has ended.
"$cli" on 3 >/dev/null || fail "on 3"
sleep 0.5
"$cli" status --json >"$work/status.json" || fail "status"
python3 - "$work/status.json" <<'PY' || fail "status after on 3: $(cat "$work/status.json")"
import json, sys
s = json.load(open(sys.argv[1]))
assert [g["on"] for g in s["segments"]] == [True, False, True, False, False], s["segments"]
PY
curl -sf --unix-socket "$sock" http://localhost/api/v1/towers/1 | grep -q '"name":"Green 1","on":true' ||
  fail "the service does not hold segment 3 on"
# Over the socket a write needs no token, but still JSON.
code=$(curl -s -o /dev/null -w '%{http_code}' --unix-socket "$sock" -X PUT -d '{"on": false}' \
  http://localhost/api/v1/towers/1/segments/3)
[ "$code" = 415 ] || fail "a form body over the socket got $code"

# A second service on the same socket does not start, and leaves it be.
set +e
"$bin" --listen 127.0.0.1 --port 0 --no-token --socket "$sock" >"$work/second.out" 2>&1
code=$?
set -e
[ "$code" = 1 ] && grep -qF "another service answers on $sock" "$work/second.out" ||
  fail "a second service: $code $(cat "$work/second.out")"
[ -S "$sock" ] || fail "the second service removed the first one's socket"

# Stopped, the service takes its socket away.
stop
[ ! -e "$sock" ] || fail "the socket was left behind"

# A stale socket (its service killed) is replaced; a symbolic link is not
# followed, nor removed.
python3 -c 'import socket, sys; s = socket.socket(socket.AF_UNIX); s.bind(sys.argv[1])' "$sock"
[ -S "$sock" ] || fail "no stale socket made"
start "$sock"
stop
ln -s "$work/elsewhere" "$sock"
set +e
"$bin" --listen 127.0.0.1 --port 0 --no-token --socket "$sock" >"$work/link.out" 2>&1
code=$?
set -e
[ "$code" = 1 ] && grep -qF "$sock is a symbolic link" "$work/link.out" || fail "a link: $code $(cat "$work/link.out")"
[ -L "$sock" ] && [ ! -e "$work/elsewhere" ] || fail "the link was followed or removed"
rm "$sock"

# Outside a user's runtime folder the socket is the service's group's.
start "$work/shared/api.sock"
[ "$(stat -c '%a %g' "$work/shared/api.sock")" = "660 $(id -g)" ] ||
  fail "the shared socket is $(stat -c '%a %g' "$work/shared/api.sock")"
stop

# A socket on which nobody accepts: the CLI says so within its bound and
# exits 3, instead of hanging or opening the tower.
python3 - "$sock" <<'PY' &
import socket, sys, time
s = socket.socket(socket.AF_UNIX)
s.bind(sys.argv[1])
s.listen(8)
time.sleep(30)
PY
hung=$!
for _ in $(seq 100); do [ -S "$sock" ] && break; sleep 0.05; done
started=$(date +%s%N)
set +e
"$cli" --timeout 0.5 on 1 >"$work/hung.out" 2>"$work/hung.err"
code=$?
set -e
took=$((($(date +%s%N) - started) / 1000000))
[ "$code" = 3 ] || fail "against a hung service: exit $code"
[ "$(cat "$work/hung.err")" = "kestrivane-cli: The service kestrivaned at $sock did not answer in time." ] ||
  fail "against a hung service: $(cat "$work/hung.err")"
[ "$took" -lt 5000 ] || fail "against a hung service it took $took ms"
kill "$hung"
wait "$hung" 2>/dev/null || true
hung=""
# The socket left with nobody on it: the CLI opens the tower itself again.
[ "$("$cli" on 1)" = "On." ] || fail "with a stale socket the CLI did not open the tower"
echo "ok"
