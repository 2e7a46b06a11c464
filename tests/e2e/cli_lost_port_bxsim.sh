#!/usr/bin/env bash
# calibrator-cli against bxsim when the adapter is pulled and put back (bxsim closes
# its terminal and later makes a new one, the port folder's entry pointed at it): the
# loss is said once, the port is opened again by its number, and the device is done.
set -euo pipefail
build=${1:?build directory}
source "$(dirname "$0")/lib/bxsim.bash"
lost="Com 210 lost: waiting for it to come back"
# run_cli ARGS...: the console on Com 210; its exit status goes to $status.
run_cli() {
  set +e
  "$cli" --port 210 --color never "$@" > "$work/out" 2> "$work/err"
  status=$?
  set -e
}
line_of() { grep -nx -m 1 -- "$1" "$work/out" | cut -d: -f1; }
words_stored() {
  grep -qx "word 0x21A8 = 6419" "$work/sim.out" || fail "$1: 0x21A8 not 6419"
  grep -qx "word 0x21C2 = 6419" "$work/sim.out" || fail "$1: 0x21C2 not 6419"
  grep -qx "EEPROM writes disabled" "$work/sim.out" || fail "$1: EEPROM left writable"
}

# 1. Pulled before the device answered, put back 2 s later: OK!, exit 0.
start_sim --com 210 --unplug-after-ms 150 --replug-after-ms 2000
run_cli --timeout 60
[ "$status" -eq 0 ] || fail "pulled before connecting: exit $status"
[ "$(grep -cx -- "$lost" "$work/out")" -eq 1 ] || fail "pulled before connecting: the loss not said once"
[ "$(grep -c "Connected!" "$work/out")" -eq 1 ] || fail "pulled before connecting: not one connection"
[ "$(line_of "$lost")" -lt "$(line_of "OK!")" ] || fail "pulled before connecting: OK! before the loss"
# While the port is away no marks are made: the line after the loss is the new try.
sed -n "$(($(line_of "$lost") + 1)),+1p" "$work/out" | grep -qx "" ||
  fail "pulled before connecting: marks after the loss"
[ "$(grep -c "^Trying to connect at COM210$" "$work/out")" -eq 2 ] ||
  fail "pulled before connecting: the port not tried again"
stop_sim
grep -q "^unplugged$" "$work/sim.out" && grep -q "^replugged /dev/" "$work/sim.out" ||
  fail "bxsim did not pull and put back"
words_stored "pulled before connecting"

# 2. Pulled during the correction (the EEPROM switched on, the first word's first byte
#    written): the device ends with its error, then the port comes back and the device
#    is done.
start_sim --com 210 --unplug-after-writes 2 --replug-after-ms 1500
run_cli --timeout 60
[ "$status" -eq 0 ] || fail "pulled during the correction: exit $status"
[ "$(line_of "Adapting..")" -lt "$(line_of "Error occurred")" ] &&
  [ "$(line_of "Error occurred")" -lt "$(line_of "$lost")" ] &&
  [ "$(line_of "$lost")" -lt "$(line_of "OK!")" ] ||
  fail "pulled during the correction: not error, loss, OK! in this order"
stop_sim
words_stored "pulled during the correction"

# 3. --get: a port that does not come back ends with exit 2, at once without
#    --timeout, after it with one.
start_sim --com 210 --unplug-after-ms 0
run_cli --get eestIBatBulk
[ "$status" -eq 2 ] || fail "--get, port gone: exit $status"
grep -qx "Com 210 lost." "$work/err" || fail "--get, port gone: the loss not said"
stop_sim
start_sim --com 210 --unplug-after-ms 0
SECONDS=0
run_cli --get eestIBatBulk --timeout 3
[ "$status" -eq 2 ] || fail "--get --timeout 3, port gone: exit $status"
[ "$SECONDS" -ge 2 ] || fail "--get --timeout 3: did not wait for the port"
grep -qx -- "$lost" "$work/err" || fail "--get --timeout 3: the waiting not said"
stop_sim

# 4. --get with the port back in time: the value is read.
start_sim --com 210 --unplug-after-ms 0 --replug-after-ms 1500
run_cli --get eestIBatBulk --timeout 30
[ "$status" -eq 0 ] || fail "--get, port back: exit $status"
stop_sim
# 5. --loop: the port pulled at the unit's last write, the EEPROM switch-off, whose
#    read-back then fails, and put back: said once, the port opened again, and the unit
#    (whose switch-off was not confirmed) corrected again to "OK!", counted once.
start_sim --com 210 --unplug-after-writes 6 --replug-after-ms 1000
"$cli" --port 210 --loop --color never > "$work/out" 2> "$work/err" &
clipid=$!
holds_replugged() {
  local fd new
  new=$(sed -n 's/^replugged //p' "$work/sim.out")
  [ -n "$new" ] || return 1
  for fd in /proc/"$clipid"/fd/*; do [ "$(readlink "$fd")" = "$new" ] && return 0; done
  return 1
}
for _ in $(seq 150); do holds_replugged && break; sleep 0.1; done
holds_replugged || fail "--loop: the port was not opened again"
for _ in $(seq 150); do [ "$(grep -cx 'OK!' "$work/out")" -ge 2 ] && break; sleep 0.1; done
kill -INT "$clipid"
set +e
wait "$clipid"
status=$?
set -e
[ "$status" -eq 0 ] || fail "--loop: exit $status"
[ "$(grep -cx -- "$lost" "$work/out")" -eq 1 ] || fail "--loop: the loss not said once"
grep -qx "Units: 1, OK!: 1" "$work/out" || fail "--loop: not one unit done"
stop_sim
words_stored "--loop"
echo "calibrator-cli with the port pulled and put back: all checks passed"
