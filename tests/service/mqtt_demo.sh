#!/usr/bin/env bash
# Two kestrivaned-demo services, each with its virtual tower, on one real
# mosquitto broker that this test configures and starts: one over plain
# MQTT, one over TLS (a test CA and certificate made here with openssl) with
# a user and password. mosquitto_sub and mosquitto_pub are the clients. Each
# tower is commanded on its own; a service killed with SIGKILL is marked
# offline by its last will; one stopped cleanly marks its tower offline.
set -euo pipefail
bin=$1
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/*.out "$work"/broker.log; do echo "--- $f" >&2; cat "$f" >&2 || true; done
  exit 1
}

# A loopback port nobody listens on, below the range the kernel hands out
# to outgoing connections (which another test's clients may hold).
free_port() {
  local p
  for _ in $(seq 50); do
    p=$((20000 + RANDOM % 12000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then echo "$p"; return; fi
  done
  return 1
}

# A CA and a server certificate for 127.0.0.1.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=kestrivane-test-ca \
  -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout "$work/server.key" -out "$work/server.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\n' >"$work/san.ext"
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial -days 2 \
  -extfile "$work/san.ext" -out "$work/server.pem" 2>/dev/null
password="s3cret-$RANDOM-pass"
printf '%s\n' "$password" >"$work/password"
mosquitto_passwd -c -b "$work/passwd" tower-site "$password"
# The broker on two free ports; a port taken between the look and the
# broker's bind is given up for another pair.
start_broker() {
  plain=$(free_port)
  tls=$(free_port)
  [ "$plain" != "$tls" ] || tls=$((plain + 1))
  cat >"$work/mosquitto.conf" <<CONF
per_listener_settings true
user $(id -un)
persistence false
listener $plain 127.0.0.1
allow_anonymous true
listener $tls 127.0.0.1
allow_anonymous false
password_file $work/passwd
cafile $work/ca.pem
certfile $work/server.pem
keyfile $work/server.key
CONF
  mosquitto -c "$work/mosquitto.conf" >"$work/broker.log" 2>&1 &
  broker=$!
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$plain") 2>/dev/null && (exec 3<>"/dev/tcp/127.0.0.1/$tls") 2>/dev/null &&
      return 0
    kill -0 "$broker" 2>/dev/null || return 1
    sleep 0.05
  done
  kill "$broker" 2>/dev/null || true
  return 1
}
started=0
for _ in 1 2 3 4 5; do
  if start_broker; then started=1; break; fi
  wait "$broker" 2>/dev/null || true
done
[ "$started" = 1 ] || fail "the broker did not start"
pids+=("$broker")

sub() { mosquitto_sub -h 127.0.0.1 -p "$plain" "$@"; }
pub() { mosquitto_pub -h 127.0.0.1 -p "$plain" "$@"; }
# The retained message on a topic (empty when none within 1 s).
retained() { sub -t "$1" --retained-only -C 1 -W 1 2>/dev/null || true; }
# Waits (bounded) until the retained message on $1 matches the pattern $2.
wait_retained() {
  for _ in $(seq 40); do
    retained "$1" | grep -q -- "$2" && return 0
    sleep 0.1
  done
  fail "$1 never matched $2: $(retained "$1")"
}

# Starts refused before anything connects: exit code, then the message.
refused_start() {
  local want=$1 text=$2
  shift 2
  set +e
  "$bin" --port 0 --no-token "$@" >"$work/refused.out" 2>&1
  local code=$?
  set -e
  [ "$code" = "$want" ] || fail "$* exited with $code: $(cat "$work/refused.out")"
  grep -qF -- "$text" "$work/refused.out" || fail "$*: not said: $text: $(cat "$work/refused.out")"
}
refused_start 2 "--mqtt takes mqtt://HOST:PORT or mqtts://HOST:PORT" --mqtt "http://127.0.0.1:$plain"
refused_start 2 "the broker options need --mqtt" --mqtt-user tower-site
refused_start 2 "--mqtt-ca-file is for mqtts://" --mqtt "mqtt://127.0.0.1:$plain" --mqtt-ca-file "$work/ca.pem"
refused_start 2 "cannot read the password file $work/none" --mqtt "mqtt://127.0.0.1:$plain" \
  --mqtt-user tower-site --mqtt-password-file "$work/none"
refused_start 2 "cannot read the CA file $work/none.pem" --mqtt "mqtts://127.0.0.1:$tls" --mqtt-ca-file "$work/none.pem"

"$bin" --port 0 --no-token --socket "$work/a.sock" --mqtt "mqtt://127.0.0.1:$plain" --mqtt-name siteA >"$work/a.out" 2>&1 &
a=$!
pids+=($a)
"$bin" --port 0 --no-token --socket "$work/b.sock" --mqtt "mqtts://127.0.0.1:$tls" --mqtt-ca-file "$work/ca.pem" \
  --mqtt-user tower-site --mqtt-password-file "$work/password" --mqtt-name siteB >"$work/b.out" 2>&1 &
b=$!
pids+=($b)
# A wrong password is refused by the broker; the service says so.
printf 'wrong\n' >"$work/wrong"
"$bin" --port 0 --no-token --socket "$work/c.sock" --mqtt "mqtts://127.0.0.1:$tls" --mqtt-ca-file "$work/ca.pem" \
  --mqtt-user tower-site --mqtt-password-file "$work/wrong" --mqtt-name siteC >"$work/c.out" 2>&1 &
pids+=($!)

ta=kestrivane/siteA-hidraw-virtual0
tb=kestrivane/siteB-hidraw-virtual0
wait_retained "$ta/state" '"segments"'
wait_retained "$tb/state" '"segments"'
wait_retained "$ta/availability" '^online$'
wait_retained "$tb/availability" '^online$'
wait_retained kestrivane/services/siteB/availability '^online$'
wait_retained homeassistant/device/kestrivane_siteA-hidraw-virtual0/config '"unique_id":"kestrivane_siteA-hidraw-virtual0_light1"'
wait_retained homeassistant/device/kestrivane_siteB-hidraw-virtual0/config '"unique_id":"kestrivane_siteB-hidraw-virtual0_light1"'
[ "$(sub -t 'kestrivane/+/state' --retained-only -W 2 -v 2>/dev/null | cut -d' ' -f1 | sort | tr '\n' ' ')" = \
  "$ta/state $tb/state " ] || fail "not exactly the two towers' states"
grep -q "the broker refused the connection: Connection Refused: not authorised." "$work/c.out" || fail "no refusal said"
[ -z "$(retained kestrivane/services/siteC/availability)" ] || fail "a refused service published"
# The password never appears in what the services print.
! grep -qF "$password" "$work/a.out" "$work/b.out" "$work/c.out" || fail "the password was printed"

# Each tower on its own: A's red on, B's green flashing; the other unchanged.
sub -t "$ta/result" -C 1 -W 5 >"$work/result-a" &
s=$!
sleep 0.3
pub -t "$ta/segments/1/set" -m '{"on": true}'
wait "$s" || fail "no result from A"
grep -q '"code":200' "$work/result-a" || fail "A: $(cat "$work/result-a")"
pub -t "$tb/ha/light3/set" -m '{"state": "ON", "effect": "Flash"}'
wait_retained "$ta/ha/light1/state" '"state":"ON"'
wait_retained "$tb/ha/light3/state" '"effect":"Flash","state":"ON"'
retained "$tb/ha/light1/state" | grep -q '"state":"OFF"' || fail "B's red changed with A's"
retained "$ta/ha/light3/state" | grep -q '"effect":"Permanent On","state":"OFF"' || fail "A's green changed with B's"

# SIGKILL: no goodbye, the broker sends A's last will.
kill -9 "$a"
wait "$a" 2>/dev/null || true
wait_retained kestrivane/services/siteA/availability '^offline$'
wait_retained kestrivane/services/siteB/availability '^online$'
# SIGTERM: B says goodbye itself, its tower too.
kill "$b"
wait "$b" || fail "B did not stop cleanly"
wait_retained kestrivane/services/siteB/availability '^offline$'
wait_retained "$tb/availability" '^offline$'
echo "mqtt demo: ok"
