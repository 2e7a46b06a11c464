#!/usr/bin/env bash
# calibrator-cli --loop against bxsim on a pseudo-terminal: one calibration per unit,
# the next unit recognised when it answers after the last one has gone.
set -euo pipefail
build=${1:?build directory}
source "$(dirname "$0")/lib/bxsim.bash"
# Runs the loop for $1 seconds, then Ctrl-C; the exit status goes to $status.
run_loop() {
  local seconds=$1
  "$cli" --port "$pty" --loop --color never > "$work/out" 2>&1 &
  local clipid=$!
  sleep "$seconds"
  kill -INT "$clipid"
  set +e
  wait "$clipid"
  status=$?
  set -e
}
count() { grep -cx "$1" "$work/out" || true; }

# 1. One unit that stays 20 s: exactly one calibration, six memory writes in all.
start_sim --cal-source 1000
run_loop 20
[ "$status" -eq 0 ] || fail "one unit: exit $status"
[ "$(count 'OK!')" -eq 1 ] || fail "one unit: $(count 'OK!') calibrations"
grep -qx "Units: 1, OK!: 1" "$work/out" || fail "one unit: no summary line"
stop_sim
grep -qx "writes: 6" "$work/sim.out" || fail "one unit: not six writes"
grep -qx "word 0x21A8 = 6400" "$work/sim.out" || fail "one unit: value not stored"

# 2. Two units in turn: two calibrations, each with its own value.
start_sim --cal-source 1003 --unit-stays-ms 4000 --unit-gap-ms 3000 --next-cal-source 1000 --units 2
run_loop 12
[ "$status" -eq 0 ] || fail "two units: exit $status"
[ "$(count 'OK!')" -eq 2 ] || fail "two units: $(count 'OK!') calibrations"
grep -qx "Waiting for the next device..." "$work/out" || fail "two units: no waiting line"
grep -qx "Units: 2, OK!: 2" "$work/out" || fail "two units: no summary line"
stop_sim
grep -q "^unit 1 (0x21C4 = 1003): 0x21A8 = 6419, 0x21C2 = 6419, writes: 6$" "$work/sim.out" \
  || fail "two units: first unit's words"
grep -q "^unit 2 (0x21C4 = 1000): 0x21A8 = 6400, 0x21C2 = 6400, writes: 6$" "$work/sim.out" \
  || fail "two units: second unit's words"

# 3. A unit that errs is not tried again while it stays; exit status 1 after Ctrl-C.
start_sim --device-version 2606150 --unit-stays-ms 7000 --units 1
run_loop 6
[ "$status" -eq 1 ] || fail "erring unit: exit $status"
[ "$(count 'Error occurred')" -eq 1 ] || fail "erring unit: $(count 'Error occurred') attempts"
grep -qx "Units: 1, OK!: 0" "$work/out" || fail "erring unit: no summary line"
stop_sim
grep -qx "writes: 2" "$work/sim.out" || fail "erring unit: not two writes (switch on, off)"
echo "calibrator-cli --loop against bxsim: all checks passed"
