#!/usr/bin/env bash
# calibrator-cli against bxsim on a pseudo-terminal, as a user runs it: by device
# path, by COM number through the per-user port folder, and the exit statuses.
set -euo pipefail
build=${1:?build directory}
source "$(dirname "$0")/lib/bxsim.bash"

# 1. By device path: a whole calibration ending with OK!, the words stored in bxsim.
start_sim --cal-source 1000 --com 42
"$cli" --port "$pty" --timeout 30 --color never > "$work/out" 2>&1 || fail "exit $? by path"
grep -qx "OK!" "$work/out" || fail "no OK! by path"
grep -q "Software version: 2606207" "$work/out" || fail "no version line"

# 2. By COM number, mapped by bxsim --com into the port folder.
"$cli" --port COM42 --timeout 30 --color never --trace "$work/trace" > "$work/out" 2>&1 \
  || fail "exit $? by COM number"
grep -qx "OK!" "$work/out" || fail "no OK! by COM number"
grep -q "Trying to connect at COM42" "$work/out" || fail "wrong port number shown"
grep -q " TX " "$work/trace" && grep -q " RX " "$work/trace" || fail "trace lacks traffic"
stop_sim
# round(1000 x 64 / 10) in both words, and the write switch off again.
for word in 0x21A8 0x21C2; do
  grep -qx "word $word = 6400" "$work/sim.out" || fail "bxsim did not store 6400 at $word"
done
grep -qx "EEPROM writes disabled" "$work/sim.out" || fail "EEPROM left writable"

# 3. A device outside the gate ends with exit status 1.
start_sim --device-version 2606150
set +e
"$cli" --port "$pty" --timeout 30 --color never > "$work/out" 2>&1
status=$?
set -e
[ "$status" -eq 1 ] || fail "gate failure gave exit $status, not 1"
grep -qx "Error occurred" "$work/out" || fail "no Error occurred"
stop_sim

# 4. Nothing on the line: exit 3 after the time-out (the other statuses are the
# contract script's). The idle terminal is held until the script signals its end (or
# two minutes pass).
python3 - "$work/idle" <<'PY' &
import os, pty, signal, sys
m, s = pty.openpty()
os.symlink(os.ttyname(s), sys.argv[1])
signal.alarm(120)
signal.pause()
PY
idlepid=$!
wait_for 30 test -L "$work/idle" || fail "no idle terminal"
set +e
"$cli" --port "$(readlink "$work/idle")" --timeout 2 > "$work/out" 2>&1
status=$?
set -e
kill "$idlepid"
[ "$status" -eq 3 ] || fail "idle line gave exit $status, not 3"
echo "calibrator-cli against bxsim: all checks passed"
