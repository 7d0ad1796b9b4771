#!/usr/bin/env bash
# kestrivaned-demo with curl: every route on a free loopback port, the token
# from the state folder, the refusals, a listen beyond loopback without a
# token, and a clean stop on SIGTERM.
set -euo pipefail
bin=$1
cli=${2:-}
work=$(mktemp -d)
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill "$pid"; wait "$pid" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; echo "--- service output:" >&2; cat "$work/out" >&2 || true; exit 1; }

# Beyond loopback without a token: refused before anything listens.
set +e
"$bin" --listen 0.0.0.0 --port 0 --no-token --state-dir "$work/refused" >"$work/refused.out" 2>&1
code=$?
set -e
[ "$code" = 2 ] || fail "--listen 0.0.0.0 --no-token exited with $code"
grep -q "needs the token" "$work/refused.out" || fail "no reason given: $(cat "$work/refused.out")"
[ ! -e "$work/refused" ] || fail "a refused start made its state folder"
# A reverse proxy's name brings the network in on loopback: the same.
set +e
"$bin" --allow-host tower.example.org --port 0 --no-token --state-dir "$work/refused" >"$work/refused.out" 2>&1
code=$?
set -e
[ "$code" = 2 ] || fail "--allow-host --no-token exited with $code"
[ ! -e "$work/refused" ] || fail "a refused start made its state folder"

# The virtual towers of the two demo programs lock their device paths here,
# as the real programs lock the device node.
export KESTRIVANE_LOCK_DIR="$work/locks"
mkdir "$KESTRIVANE_LOCK_DIR"
"$bin" --listen 127.0.0.1 --port 0 --state-dir "$work/state" --socket "$work/api.sock" >"$work/out" 2>&1 &
pid=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's|^kestrivaned: listening on http://127.0.0.1:\([0-9]*\)/$|\1|p' "$work/out")
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || fail "the service did not say where it listens"
token=$(cat "$work/state/token")
[ "$(stat -c %a "$work/state/token")" = 600 ] || fail "the token file is not mode 600"
# Its output is no terminal: the token never appears in it.
! grep -q "$token" "$work/out" || fail "the token was written to the output"
base="http://127.0.0.1:$port"

# Status (HTTP code) and body of one request.
req() { curl -s -o "$work/body" -w '%{http_code}' "$@"; }

for _ in $(seq 100); do
  [ "$(req "$base/api/v1/towers/1")" = 200 ] && break
  sleep 0.05
done
[ "$(req "$base/api/v1/towers")" = 200 ] || fail "list"

# The service holds the tower: the CLI that opens it itself names it, exits 3
# and opens nothing.
if [ -n "$cli" ]; then
  set +e
  "$cli" --direct on 1 >"$work/cli.out" 2>"$work/cli.err"
  code=$?
  set -e
  [ "$code" = 3 ] || fail "kestrivane-cli on a held tower exited with $code"
  grep -qF "The tower is held by kestrivaned-demo (pid $pid)." "$work/cli.err" ||
    fail "kestrivane-cli did not name the holder: $(cat "$work/cli.err")"
fi
grep -q '"id":"1"' "$work/body" && grep -q '"state":"online"' "$work/body" || fail "list: $(cat "$work/body")"
[ "$(req "$base/api/v1/towers/1")" = 200 ] || fail "status"
grep -q '"name":"Red 1"' "$work/body" || fail "status: $(cat "$work/body")"
[ "$(req "$base/api/v1/openapi.json")" = 200 ] || fail "openapi"
grep -q '"openapi":"3.0.3"' "$work/body" || fail "openapi: $(cat "$work/body")"
[ "$(req "$base/")" = 200 ] || fail "page"
grep -q '<title>Kestrivane</title>' "$work/body" || fail "page body"

code=$(req -X PUT -H "Authorization: Bearer $token" -H 'Content-Type: application/json' \
  -d '{"pattern": "Flash", "level": 100, "on": true}' "$base/api/v1/towers/1/segments/Green%201")
[ "$code" = 200 ] || fail "set: $code $(cat "$work/body")"
grep -q '"pattern":"Flash"' "$work/body" && grep -q '"on":true' "$work/body" && grep -q '"level":100' "$work/body" \
  || fail "set answer: $(cat "$work/body")"

# The events: the stream starts with the towers and the state just set.
timeout 2 curl -sN "$base/api/v1/events" >"$work/events" || true
grep -q '^data: {"event":"towers"' "$work/events" || fail "events: $(head -c 300 "$work/events")"
grep -q '"name":"Green 1","on":true,"pattern":"Flash"' "$work/events" || fail "events lack the state"

code=$(req -X PUT -H 'Content-Type: application/json' -d '{"on": false}' "$base/api/v1/towers/1/segments/3")
[ "$code" = 401 ] || fail "no token: $code"
code=$(req -X PUT -H "Authorization: Bearer $token" -d '{"on": false}' "$base/api/v1/towers/1/segments/3")
[ "$code" = 415 ] || fail "form body: $code"
code=$(req -H 'Host: rebound.example' "$base/api/v1/towers")
[ "$code" = 403 ] || fail "foreign Host: $code"
curl -s -D "$work/headers" -o /dev/null -X OPTIONS -H 'Origin: http://127.0.0.1:'"$port" \
  -H 'Access-Control-Request-Method: PUT' "$base/api/v1/towers/1/segments/3"
! grep -qi '^access-control-' "$work/headers" || fail "CORS headers sent"

kill -TERM "$pid"
wait "$pid" || fail "the service did not end with 0 on SIGTERM"
pid=""
grep -q '^kestrivaned: stopping$' "$work/out" || fail "no stop"
echo "ok"
