#!/usr/bin/env bash
# calibrator-cli ended by a signal or by its time limit, against bxsim on a
# pseudo-terminal: it stops at a safe point, leaves the EEPROM switch off and never
# reports success.
set -euo pipefail
build=${1:?build directory}
source "$(dirname "$0")/lib/bxsim.bash"

# Starts the console in the background on port $1 with further options ($clipid).
start_cli() {
  local port=$1
  shift
  "$cli" --port "$port" --color never --record - "$@" > "$work/out" 2> "$work/err" &
  clipid=$!
}
# Waits until the console's output holds the text $1.
wait_text() {
  for _ in $(seq 600); do
    grep -qF -- "$1" "$work/out" 2> /dev/null && return 0
    sleep 0.02
  done
  fail "no \"$1\" in the output"
}
# Waits for the console's end; its exit status goes to $status.
wait_cli() {
  set +e
  wait "$clipid"
  status=$?
  set -e
}
now_ms() { date +%s%3N; }

# 1. Ctrl-C while the interface is being looked for: nothing written, 130.
start_sim --cal-source 1000
start_cli "$pty" --timeout 30
wait_text "Make sure device is switched on."
kill -INT "$clipid"
wait_cli
[ "$status" -eq 130 ] || fail "Ctrl-C before the writes: exit $status, not 130"
grep -qx "Interrupted" "$work/err" || fail "Ctrl-C before the writes: no Interrupted"
grep -q "OK!" "$work/out" && fail "Ctrl-C before the writes: OK! shown"
stop_sim
grep -qx "writes: 0" "$work/sim.out" || fail "Ctrl-C before the writes: the device was written"

# 2. Ctrl-C once the correction writes (a paced line makes the writes take their
#    time): the correction is finished, the EEPROM switch off again, and still 130.
start_sim --cal-source 1000 --paced
start_cli "$pty" --timeout 60
wait_text "Adapting.."
kill -INT "$clipid"
wait_cli
[ "$status" -eq 130 ] || fail "Ctrl-C during the writes: exit $status, not 130"
grep -qx "Interrupted" "$work/err" || fail "Ctrl-C during the writes: no Interrupted"
stop_sim
grep -qx "EEPROM writes disabled" "$work/sim.out" || fail "Ctrl-C during the writes: switch left on"
for word in 0x21A8 0x21C2; do
  grep -qx "word $word = 6400" "$work/sim.out" || fail "Ctrl-C during the writes: $word not whole"
done

# 3. No device on the line: each signal ends the run with its own status.
python3 - "$work/idle" << 'PY' &
import os, pty, sys, time
m, s = pty.openpty()
os.symlink(os.ttyname(s), sys.argv[1])
time.sleep(60)
PY
idlepid=$!
for _ in $(seq 50); do [ -e "$work/idle" ] && break; sleep 0.1; done
for pair in INT:130 TERM:143 HUP:129; do
  start_cli "$(readlink "$work/idle")"
  wait_text "* "
  kill -"${pair%%:*}" "$clipid"
  wait_cli
  [ "$status" -eq "${pair##*:}" ] || fail "SIG${pair%%:*} without a device: exit $status"
  grep -qx "Interrupted" "$work/err" || fail "SIG${pair%%:*} without a device: no Interrupted"
done
kill "$idlepid" 2> /dev/null || true

# 4. The time limit passes while a device that went silent after its version is
#    handled: the run ends within the limit and one second, with status 3.
start_sim --cal-source 1000 --silent-after-version
started=$(now_ms)
start_cli "$pty" --timeout 5
wait_cli
took=$(($(now_ms) - started))
[ "$status" -eq 3 ] || fail "time limit during the device: exit $status, not 3"
grep -q "Connected!" "$work/out" || fail "time limit during the device: device never handled"
[ "$took" -le 6000 ] || fail "time limit of 5 s took $took ms"
stop_sim
# 5. --update: a first Ctrl-C only warns and the update goes on to its end; two
#    within a few seconds stop it between two lines with the update's failure status.
src=$(cd "$(dirname "$0")/../.." && pwd)
"$build/tools/kfftool" pack "$src/sim/bxsim/inverter_2001250.txt" "$work/inverter.kff" \
  > /dev/null || fail "kfftool pack"
for presses in 1 2; do
  start_sim --device-version 2001203 --cal-source 1003 --loader-firmware 114
  "$cli" --port "$pty" --update "$work/inverter.kff" --yes > "$work/out" 2>&1 &
  clipid=$!
  sleep 3
  kill -INT "$clipid"
  [ "$presses" -eq 2 ] && sleep 0.5 && kill -INT "$clipid"
  wait_cli
  if [ "$presses" -eq 1 ]; then
    [ "$status" -eq 0 ] || fail "one Ctrl-C during the update: exit $status"
    grep -q "Press Ctrl-C again" "$work/out" || fail "one Ctrl-C during the update: no warning"
    grep -qx "Firmware updated." "$work/out" || fail "one Ctrl-C during the update: not done"
  else
    [ "$status" -eq 1 ] || fail "two Ctrl-C during the update: exit $status, not 1"
    grep -q "^Interrupted" "$work/out" || fail "two Ctrl-C during the update: no Interrupted"
  fi
  stop_sim
done
echo "calibrator-cli stopped by signals and its time limit: all checks passed"
