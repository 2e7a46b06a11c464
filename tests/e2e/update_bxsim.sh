#!/usr/bin/env bash
# calibrator-cli --update against bxsim on a pseudo-terminal: a firmware file packed
# by kfftool programs an inverter/charger behind the interface, and its calibration
# words are carried over to the new firmware.
set -euo pipefail
build=${1:?build directory}
src=$(cd "$(dirname "$0")/../.." && pwd)
source "$(dirname "$0")/lib/bxsim.bash"

"$build/tools/kfftool" pack "$src/sim/bxsim/inverter_2001250.txt" "$work/inverter.kff" \
  > /dev/null || fail "kfftool pack"

start_sim --device-version 2001203 --cal-source 1003 --loader-firmware 114

"$cli" --port "$pty" --update "$work/inverter.kff" --yes > "$work/out" 2>&1 \
  || fail "update gave exit $?"
grep -qx "Firmware updated." "$work/out" || fail "no success line"
grep -q "(8/8 lines)" "$work/out" || fail "no line count in the progress lines"

# The device answers again on its new firmware; a file that is not there is bad usage (4).
"$cli" --port "$pty" --get eestIBatBulk --timeout 20 > /dev/null 2>&1 || fail "device gone after update"
set +e
"$cli" --port "$pty" --update "$work/missing.kff" --yes > "$work/out" 2>&1; missing=$?
set -e
[ "$missing" -eq 4 ] || fail "missing file gave exit $missing, not 4"

stop_sim
# Offset 168 is new in this firmware: 0x21A8 and 0x21C2 get round(1003 x 64 / 10).
for word in 0x21A8 0x21C2; do
  grep -qx "word $word = 6419" "$work/sim.out" || fail "$word not carried over"
done
echo "calibrator-cli --update against bxsim: all checks passed"
