#!/usr/bin/env bash
# calibrator.exe under wine in a real X server, driven as a person does (the same X
# driver as the Linux window's test): the Linux bxsim on a pseudo-terminal that the
# wine prefix knows as COM1, the port picked from the list with the mouse, the log read
# through the clipboard, the words checked in bxsim. Screenshots go to
# <Windows build>/e2e-screenshots/window-wine/. Exit 77 (skipped) when no X server is
# installed.
set -euo pipefail
build=$(cd "${1:?Windows build directory}" && pwd)
host=$(cd "${2:?Linux build directory with bxsim}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
gui=$build/app/calibrator.exe
sim=$host/sim/bxsim
wine=$build/wine-run.sh
if ! command -v Xvfb > /dev/null; then
  echo "SKIP: no X server (Xvfb); setup.sh installs it"
  exit 77
fi
[ -x "$sim" ] || { echo "FAIL: no bxsim at $sim"; exit 1; }
shots=$build/e2e-screenshots/window-wine
work=$(mktemp -d)
# shellcheck source=../e2e/lib/xwindow.bash
source "$here/../e2e/lib/xwindow.bash"
# A prefix of its own: setting its ports restarts its wine server, which must not end
# the programs of the other Windows tests.
export CALIB_WINEPREFIX=$build/wineprefix-window
export QT_QPA_PLATFORM=windows
window_class=calibrator.exe
simpid=''
cleanup() {
  for p in $guipid $simpid; do kill "$p" 2> /dev/null || true; done
  "$wine" --server -k 2> /dev/null || true
  [ -n "$xpid" ] && kill "$xpid" 2> /dev/null
  wait 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# COM1 of the prefix is bxsim's terminal, through a link that bxsim makes in the work
# folder; wine's own serial ports take the numbers after it. Wine reads its port list
# when its server starts.
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$work/com1" /f > /dev/null 2>&1 ||
  fail "could not give the wine prefix its COM1"
"$wine" --server -k 2> /dev/null || true
"$wine" --server -w 2> /dev/null || true

start_x_server

start_sim() {
  "$sim" --link "$work/com1" "$@" > "$work/sim.out" 2>&1 &
  simpid=$!
  wait_for 30 test -L "$work/com1" || fail "bxsim gave no terminal"
}
stop_sim() {
  kill -TERM "$simpid"
  wait "$simpid" || fail "bxsim did not end cleanly"
  simpid=''
}

# ==== 1. The window starts under wine; its first screen ====
start_sim
"$wine" "$gui" > "$work/gui.out" 2>&1 &
guipid=$!
find_main_window
sleep 1 # the first paint
shot start

# ==== 2. Pick Com 1 with the mouse; the device is calibrated to OK! ====
open_list
shot list-dropped-down
pick_item 1
wait_for 120 log_count_is "Trying to connect at COM1" 1 || fail "no connection at COM1"
shot after-pick
wait_for 240 device_done_ok 1 || fail "the log did not end the device with OK!"
shot calibrated
grep -qx "Software version: 2606207" <<< "$log" || fail "no version line"
stop_sim
grep -qx "word 0x21A8 = 6419" "$work/sim.out" || fail "bxsim: 0x21A8 not 6419"
grep -qx "word 0x21C2 = 6419" "$work/sim.out" || fail "bxsim: 0x21C2 not 6419"
grep -qx "EEPROM writes disabled" "$work/sim.out" || fail "bxsim: EEPROM left writable"

# ==== 3. The window closes as a person closes it, with exit status 0 ====
python3 "$here/../e2e/window_close_request.py" "$wid"
status=0
wait_for 60 test ! -d "/proc/$guipid" -o -n "$(awk '$3 == "Z"' "/proc/$guipid/stat" 2> /dev/null)" ||
  fail "the window did not end after its close"
wait "$guipid" || status=$?
guipid=''
[ "$status" -eq 0 ] || fail "calibrator.exe ended with status $status"
shot closed
echo "calibrator.exe under wine in an X server: all checks passed (screenshots in $shots)"
