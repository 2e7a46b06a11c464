#!/usr/bin/env bash
# calibrator-cli.exe under wine against the Linux bxsim on a pseudo-terminal that
# the wine prefix maps to COM42: the Win32 serial backend on a real terminal.
set -euo pipefail
build=$(cd "${1:?Windows build directory}" && pwd)
host=$(cd "${2:?Linux build directory with bxsim}" && pwd)
wine=$build/wine-run.sh
cli=$build/app/calibrator-cli.exe
sim=$host/sim/bxsim
[ -x "$sim" ] || { echo "FAIL: no bxsim at $sim"; exit 1; }
export CALIB_WINEPREFIX=${CALIB_WINEPREFIX:-$build/wineprefix}
work=$(mktemp -d)
com=$CALIB_WINEPREFIX/dosdevices/com42
simpid=
cleanup() {
  [ -n "$simpid" ] && kill "$simpid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -f "$com"
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- output"; cat "$work/out" 2>/dev/null || true; exit 1; }
# shellcheck source=../e2e/lib/wait.bash
source "$(dirname "$0")/../e2e/lib/wait.bash"

# The prefix exists once wine has run a program in it.
"$wine" "$cli" --help > "$work/help" 2>&1 || true
[ -d "$CALIB_WINEPREFIX/dosdevices" ] || fail "no wine prefix at $CALIB_WINEPREFIX"
# The help names ports as a Windows user knows them, not as Linux device paths.
grep -q -- "--port PORT      a COM number" "$work/help" || fail "help: $(cat "$work/help")"
if grep -q "/dev/" "$work/help"; then fail "help names a Linux device path: $(cat "$work/help")"; fi

start_sim() {
  rm -f "$com"
  "$sim" "$@" --link "$com" > "$work/sim.out" 2>&1 &
  simpid=$!
  wait_for 30 test -L "$com" || fail "bxsim gave no terminal"
}
stop_sim() {
  kill -TERM "$simpid"
  wait "$simpid" || fail "bxsim did not exit 0 on SIGTERM"
  simpid=
}
# Runs the console program; its output without the console's carriage returns.
run_cli() {
  set +e
  "$wine" "$cli" "$@" > "$work/raw" 2>&1
  status=$?
  set -e
  tr -d '\r' < "$work/raw" > "$work/out"
}

# 0. The built-in simulation takes a free port number on Windows too.
run_cli --port sim --timeout 60 --color never
[ "$status" -eq 0 ] || fail "exit $status with --port sim"
grep -qx "OK!" "$work/out" || fail "no OK! with --port sim"

# 1. A whole calibration over COM42 ending with OK!, the words stored in bxsim.
start_sim --cal-source 1000
run_cli --port COM42 --timeout 30 --color never
[ "$status" -eq 0 ] || fail "exit $status"
grep -qx "OK!" "$work/out" || fail "no OK!"
grep -q "Trying to connect at COM42" "$work/out" || fail "wrong port shown"
grep -q "Software version: 2606207" "$work/out" || fail "no version line"
stop_sim
for word in 0x21A8 0x21C2; do
  grep -qx "word $word = 6400" "$work/sim.out" || { cat "$work/sim.out"; fail "bxsim did not store 6400 at $word"; }
done

# 2. An older BX2 firmware is brought up to date first (the updater over COM42).
start_sim --interface-version 1130100
run_cli --port COM42 --timeout 120 --yes --color never
[ "$status" -eq 0 ] || fail "exit $status after the interface update"
grep -qx "OK!" "$work/out" || fail "no OK! after the interface update"
stop_sim
grep -q "interface version 1130132" "$work/sim.out" || { cat "$work/sim.out"; fail "BX2 not updated"; }

# 3. A device outside the gate ends with exit status 1.
start_sim --device-version 2606150
run_cli --port COM42 --timeout 30 --color never
[ "$status" -eq 1 ] || fail "gate failure gave exit $status, not 1"
grep -qx "Error occurred" "$work/out" || fail "no Error occurred"
stop_sim

# 4. A COM port with nothing behind it: exit 2.
rm -f "$com"
run_cli --port COM42 --timeout 5
[ "$status" -eq 2 ] || fail "missing port gave exit $status, not 2"
echo "calibrator-cli.exe under wine against bxsim: all checks passed"
