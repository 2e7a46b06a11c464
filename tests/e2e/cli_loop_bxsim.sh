#!/usr/bin/env bash
# calibrator-cli --loop against bxsim on a pseudo-terminal: one calibration per unit,
# the next unit recognised when it answers after the last one has gone. The loop is
# interrupted (Ctrl-C) once its output shows the state each case needs.
set -euo pipefail
build=${1:?build directory}
source "$(dirname "$0")/lib/bxsim.bash"
count() { grep -cx "$1" "$work/out" || true; }
at_least() { [ "$(count "$2")" -ge "$1" ]; }
# Starts the loop on bxsim's terminal; its output goes to out (and its trace to trace).
start_loop() {
  "$cli" --port "$pty" --loop --color never --trace "$work/trace" > "$work/out" 2>&1 &
  clipid=$!
}
# Ctrl-C once the loop's output holds N lines LINE; the exit status goes to $status.
interrupt_after() {
  wait_for 120 at_least "$1" "$2" || fail "no $1 x '$2' within two minutes"
  kill -INT "$clipid"
  set +e
  wait "$clipid"
  status=$?
  set -e
}
sent_at_least() { [ "$(grep -c " TX " "$work/trace" || true)" -ge "$1" ]; }

# 1. One unit that stays: exactly one calibration, six memory writes in all, while
# the loop goes on asking the unit whether it is still there.
start_sim --cal-source 1000
start_loop
wait_for 120 at_least 1 "OK!" || fail "one unit: no OK!"
after=$(($(grep -c " TX " "$work/trace") + 20))
wait_for 120 sent_at_least "$after" || fail "one unit: the loop stopped asking"
interrupt_after 1 "OK!"
[ "$status" -eq 0 ] || fail "one unit: exit $status"
[ "$(count 'OK!')" -eq 1 ] || fail "one unit: $(count 'OK!') calibrations"
grep -qx "Units: 1, OK!: 1" "$work/out" || fail "one unit: no summary line"
stop_sim
grep -qx "writes: 6" "$work/sim.out" || fail "one unit: not six writes"
grep -qx "word 0x21A8 = 6400" "$work/sim.out" || fail "one unit: value not stored"
grep -qx "EEPROM writes disabled" "$work/sim.out" || fail "one unit: EEPROM left writable"

# 2. Two units in turn: two calibrations, each with its own value.
start_sim --cal-source 1003 --unit-stays-ms 6000 --unit-gap-ms 3000 --next-cal-source 1000 --units 2
start_loop
interrupt_after 2 "OK!"
[ "$status" -eq 0 ] || fail "two units: exit $status"
grep -qx "Waiting for the next device..." "$work/out" || fail "two units: no waiting line"
grep -qx "Units: 2, OK!: 2" "$work/out" || fail "two units: no summary line"
stop_sim
grep -q "^unit 1 (0x21C4 = 1003): 0x21A8 = 6419, 0x21C2 = 6419, writes: 6$" "$work/sim.out" \
  || fail "two units: first unit's words"
grep -q "^unit 2 (0x21C4 = 1000): 0x21A8 = 6400, 0x21C2 = 6400, writes: 6$" "$work/sim.out" \
  || fail "two units: second unit's words"

# 3. A unit that errs is not tried again while it stays, the next one is tried once;
# exit status 1 after Ctrl-C. Both have gone (no third comes) before the interrupt.
start_sim --device-version 2606150 --unit-stays-ms 6000 --unit-gap-ms 3000 --units 2
start_loop
interrupt_after 2 "Waiting for the next device..."
[ "$status" -eq 1 ] || fail "erring units: exit $status"
[ "$(count 'Error occurred')" -eq 2 ] || fail "erring units: $(count 'Error occurred') attempts"
grep -qx "Units: 2, OK!: 0" "$work/out" || fail "erring units: no summary line"
stop_sim
for unit in "1 (0x21C4 = 1003)" "2 (0x21C4 = 1003)"; do
  grep -qx "unit $unit: writes: 2" "$work/sim.out" || fail "erring unit $unit: not two writes (switch on, off)"
done
echo "calibrator-cli --loop against bxsim: all checks passed"
