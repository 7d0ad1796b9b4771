#!/bin/sh
# The README's build light recipe, run as written against the virtual tower:
# the light's session takes a success and a failure of the pipeline, and its
# log is JSON Lines (every line one JSON object).
#
#   build_light_recipe.sh <kestrivane-cli-demo> <README.md>
set -eu
[ $# -eq 2 ] || { echo "usage: $0 <kestrivane-cli-demo> <README.md>" >&2; exit 2; }
program=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
readme=$2
scratch=$(mktemp -d)
light=
cleanup() {
  [ -n "$light" ] && kill -TERM "-$light" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$scratch/log/buildlight.jsonl" ] && cat "$scratch/log/buildlight.jsonl" >&2; exit 1; }

# The recipe: the indented block from "# the light" to the pipeline's "fi",
# its two halves apart, the system folders moved into the scratch folder.
sed -n '/^    # the light/,/^    fi$/p' "$readme" | sed 's/^    //' |
  sed -e "s|/var/lib/buildlight|$scratch/lib|g" -e "s|/var/log|$scratch/log|g" >"$scratch/recipe"
sed -n '1,/^$/p' "$scratch/recipe" >"$scratch/light.sh"
sed -n '/^# at the end/,$p' "$scratch/recipe" >"$scratch/pipeline.sh"
grep -q 'kestrivane-cli' "$scratch/light.sh" || fail "no light in the README's recipe"
grep -q 'CI_JOB_STATUS' "$scratch/pipeline.sh" || fail "no pipeline step in the README's recipe"
mkdir -p "$scratch/lib" "$scratch/bin" "$scratch/log"
ln -s "$program" "$scratch/bin/kestrivane-cli"

PATH="$scratch/bin:$PATH" setsid sh "$scratch/light.sh" &
light=$!

lines() {
  n=$(grep -c "$1" "$scratch/log/buildlight.jsonl" 2>/dev/null) || true
  echo "${n:-0}"
}
wait_for() {
  i=0
  until [ "$(lines "$1")" -ge "$2" ]; do
    i=$((i + 1))
    [ $i -le 100 ] || fail "no $2 line(s) with $1 within 10 s"
    sleep 0.1
  done
}
wait_for '"event":"state"' 1
# tail -F is reading now (it started before the session opened the tower).
sleep 0.5
CI_JOB_STATUS=success sh "$scratch/pipeline.sh"
wait_for '"command":"on"' 1
CI_JOB_STATUS=failed sh "$scratch/pipeline.sh"
wait_for '"command":"set"' 1

kill -TERM "-$light"
wait "$light" || true
light=

python3 -c '
import json, sys
answers = []
for n, line in enumerate(open(sys.argv[1]), 1):
    try:
        j = json.loads(line)
    except ValueError as e:
        sys.exit("line %d is no JSON (%s): %r" % (n, e, line))
    if not isinstance(j, dict):
        sys.exit("line %d is no JSON object: %r" % (n, line))
    if "command" in j:
        answers.append((j["command"], j["ok"]))
want = [("off", True), ("on", True), ("off", True), ("on", True), ("set", True)]
if answers != want:
    sys.exit("answers %r, not %r" % (answers, want))
' "$scratch/log/buildlight.jsonl" || fail "the log is not the JSON Lines it should be"
echo "ok: the README's build light writes JSON Lines"
