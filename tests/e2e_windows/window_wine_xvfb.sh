#!/usr/bin/env bash
# calibrator.exe under wine in a real X server, driven as a person does (the same X
# driver as the Linux window's test): the Linux bxsim on a pseudo-terminal that the
# wine prefix knows as COM1, the port picked from the list with the mouse, the log read
# through the clipboard, the words checked in bxsim. Screenshots go to
# <Windows build>/e2e-screenshots/window-wine/. Exit 77 (skipped) when no X server is
# installed.
set -euo pipefail
winbuild=$(cd "${1:?Windows build directory}" && pwd)
build=$(cd "${2:?Linux build directory with bxsim}" && pwd) # for bxsim.bash
here=$(cd "$(dirname "$0")" && pwd)
gui=$winbuild/app/calibrator.exe
wine=$winbuild/wine-run.sh
if ! command -v Xvfb > /dev/null; then
  echo "SKIP: no X server (Xvfb); setup.sh installs it"
  exit 77
fi
# shellcheck source=../e2e/lib/bxsim.bash
source "$here/../e2e/lib/bxsim.bash" # work, start_sim, stop_sim (bxsim links $work/links/sim)
[ -x "$sim" ] || fail "no bxsim at $sim"
shots=$winbuild/e2e-screenshots/window-wine
# shellcheck source=../e2e/lib/xwindow.bash
source "$here/../e2e/lib/xwindow.bash"
# A prefix of its own: setting its ports restarts its wine server, which must not end
# the programs of the other Windows tests.
export CALIB_WINEPREFIX=$winbuild/wineprefix-window
export QT_QPA_PLATFORM=windows
window_class=calibrator.exe
cleanup() {
  stop_all_sims
  [ -n "$guipid" ] && kill "$guipid" 2> /dev/null
  "$wine" --server -k 2> /dev/null || true
  [ -n "$xpid" ] && kill "$xpid" 2> /dev/null
  wait 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# COM1 of the prefix is bxsim's terminal, through the link that start_sim has it make;
# wine's own serial ports take the numbers after it. Wine reads its port list when its
# server starts.
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$work/links/sim" /f > /dev/null 2>&1 ||
  fail "could not give the wine prefix its COM1"
"$wine" --server -k 2> /dev/null || true
"$wine" --server -w 2> /dev/null || true

start_x_server

# ==== 1. The window starts under wine; its first screen ====
start_sim
"$wine" "$gui" > "$work/gui.out" 2>&1 &
guipid=$!
find_main_window
sleep 1 # the first paint
shot start

# ==== 2. Pick Com 1 with the mouse; the device is calibrated to OK! ====
calibrate_com1_from_list
stop_sim
words_stored "$work/sim.out"

# ==== 3. The window closes as a person closes it, with exit status 0 ====
close_window
window_exits_0
shot closed
echo "calibrator.exe under wine in an X server: all checks passed (screenshots in $shots)"
