#!/usr/bin/env bash
# The console's contract as a script sees it, against bxsim on a pseudo-terminal:
# exit statuses, refusals of values the device cannot store as asked, one-line usage
# errors, quiet standard error, and --version of every program.
set -euo pipefail
build=${1:?build directory}
source "$(dirname "$0")/lib/bxsim.bash"
kff=$build/tools/kfftool
# Runs the console; its status goes to $status, its output to out and err.
cli() {
  set +e
  "$cli" "$@" > "$work/out" 2> "$work/err"
  status=$?
  set -e
}
expect() { [ "$status" -eq "$1" ] || fail "$2: exit $status, not $1"; }

# Usage errors: one line and "Try --help." on standard error, nothing on standard output.
cli --bogus
expect 4 "unknown option"
[ ! -s "$work/out" ] || fail "unknown option printed on standard output"
[ "$(wc -l < "$work/err")" -eq 2 ] || fail "unknown option: not two lines"
[ "$(tail -n 1 "$work/err")" = "Try --help." ] || fail "no Try --help."
# Unknown names and unreadable numbers: 4 before the (missing) port is tried.
cli --port /dev/does-not-exist --get eestIBatBulkk
expect 4 "unknown name"
grep -q "eestIBatBulk" "$work/err" || fail "no close match offered"
cli --port /dev/does-not-exist --set eestIBatBulk=1,5
expect 4 "unreadable number"
cli --port /dev/does-not-exist --get eestIBatBulk
expect 2 "missing port"

# --version of every program.
for program in "$cli" "$sim" "$kff"; do
  "$program" --version > "$work/out" || fail "$program --version failed"
  grep -q " 9007119.4$" "$work/out" || fail "$program: no program version"
  grep -q "^BX2 interface image 1130132$" "$work/out" || fail "$program: no image version"
done
for args in "--bogus" "--cal-source|abc" "--units|" "--seed=" "--paced|--paced"; do
  IFS='|' read -r -a words <<< "$args"
  [ "${args: -1}" = "|" ] && words+=("")
  set +e; "$sim" "${words[@]}" > /dev/null 2> "$work/err"; status=$?; set -e
  expect 4 "bxsim ${words[*]}"
  grep -qx "Try --help." "$work/err" || fail "bxsim ${words[*]}: no Try --help."
done

# An empty value, two modes or an option of another mode: refused (4) before the port
# is opened, so the device behind it sees no write (bxsim counts them on its way out).
start_sim
for args in "--get|" "--get=" "--set|" "--set=" "--update|" "--decode-trace|" "--clamp" \
  "--get|eestIBatBulk|--loop" "--json|--loopback-test" "--port|COM3"; do
  IFS='|' read -r -a extra <<< "$args"
  [ "${args: -1}" = "|" ] && extra+=("")
  cli --port "$pty" "${extra[@]}"
  expect 4 "refusal of ${extra[*]}"
  [ "$(tail -n 1 "$work/err")" = "Try --help." ] || fail "${extra[*]}: no Try --help."
done
stop_sim
grep -qx "writes: 0" "$work/sim.out" || fail "a refused run wrote to the device"
grep -q "^word " "$work/sim.out" && fail "a refused run changed a word"

start_sim

# Quiet by default: the port mapping only with --verbose.
cli --port "$pty" --timeout 30 --get eestIBatBulk
expect 0 "--get"
grep -q "^Com [0-9]* = " "$work/err" && fail "port mapping shown without --verbose"
grep -qx "eestIBatBulk = 14" "$work/out" || fail "--get value line"
cli --port "$pty" --timeout 30 --get eestIBatBulk --verbose
grep -q "^Com [0-9]* = $pty$" "$work/err" || fail "port mapping not shown with --verbose"

# Refusals instead of silent changes.
cli --port "$pty" --timeout 30 --set eestIBatBulk=999999
expect 1 "out of limits"
grep -q "outside the device's limits 0 to 1000; nothing written" "$work/err" || fail "limits not named"
cli --port "$pty" --timeout 30 --set eestIBatBulk=999999 --clamp
expect 0 "--clamp"
grep -q "limited to the device's range" "$work/out" || fail "--clamp not said"
cli --port "$pty" --timeout 30 --set eestIBatBulk=12.5
expect 0 "nearest step"
grep -q "(stored 13, the nearest step to 12.5)" "$work/out" || fail "rounding not said"
cli --port "$pty" --timeout 30 --set eestIBatBulk=12.5 --exact
expect 1 "--exact"

# --json: one object on standard output, the human line on standard error.
cli --port "$pty" --timeout 30 --get eestIBatBulk --json
expect 0 "--get --json"
python3 - "$work/out" <<'PY' || fail "--get --json object"
import json, sys
lines = open(sys.argv[1]).read().splitlines()
assert len(lines) == 1, lines
o = json.loads(lines[0])
assert o["ok"] and o["name"] == "eestIBatBulk" and o["value"] == 13 and o["raw"] == 13, o
assert o["minimum"] == 0 and o["maximum"] == 1000 and o["scale"] == 1, o
PY
grep -qx "eestIBatBulk = 13" "$work/err" || fail "--json: human line not on standard error"
cli --port "$pty" --timeout 30 --set eestIBatBulk=5000 --json
expect 1 "--set --json out of limits"
python3 -c 'import json,sys; o=json.load(open(sys.argv[1])); assert not o["ok"] and o["value"] == 5000 and o["maximum"] == 1000, o' \
  "$work/out" || fail "--set --json refusal object"
echo "calibrator-cli contract against bxsim: all checks passed"
