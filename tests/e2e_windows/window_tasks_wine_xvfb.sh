#!/usr/bin/env bash
# The window's tasks of calibrator.exe under wine in a real X server, used as a person
# does (as in the Linux window's tasks test): the Linux bxsim on a pseudo-terminal that
# the wine prefix knows as COM1, a device updated from a file packed by kfftool to
# "Firmware updated." with its calibration carried over, a refused file, a cancelled
# update, the adapter check over a pseudo-terminal that echoes (COM2), and the history
# with two records. Files are typed into the file dialog by wine's Z: drive. Screenshots
# go to <Windows build>/e2e-screenshots/window-tasks-wine/. Exit 77 (skipped) when no X
# server is installed.
set -euo pipefail
winbuild=$(cd "${1:?Windows build directory}" && pwd)
build=$(cd "${2:?Linux build directory with bxsim and kfftool}" && pwd) # for bxsim.bash
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
gui=$winbuild/app/calibrator.exe
wine=$winbuild/wine-run.sh
if ! command -v Xvfb > /dev/null; then
  echo "SKIP: no X server (Xvfb); setup.sh installs it"
  exit 77
fi
# shellcheck source=../e2e/lib/bxsim.bash
source "$here/../e2e/lib/bxsim.bash" # work, start_sim, stop_sim (bxsim links $work/links/sim)
[ -x "$sim" ] || fail "no bxsim at $sim"
shots=$winbuild/e2e-screenshots/window-tasks-wine
# shellcheck source=../e2e/lib/xwindow.bash
source "$here/../e2e/lib/xwindow.bash"
# A prefix of its own: setting its ports restarts its wine server, which must not end
# the programs of the other Windows tests.
export CALIB_WINEPREFIX=$winbuild/wineprefix-window-tasks
export QT_QPA_PLATFORM=windows
window_class=calibrator.exe
# A Linux path as the Windows program reaches it: wine's Z: drive.
program_path() { printf 'Z:%s' "${1//\//\\}"; }
key_settle=0.5 # wine takes the focus in its own time: keys sent at once may go nowhere
dialog_wait=60
# shellcheck source=../e2e/lib/window_tasks.bash
source "$here/../e2e/lib/window_tasks.bash"
cleanup() {
  stop_all_sims
  for p in $guipid $echopid; do kill "$p" 2> /dev/null || true; done
  "$wine" --server -k 2> /dev/null || true
  [ -n "$xpid" ] && kill "$xpid" 2> /dev/null
  wait 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

make_firmware_files

# COM1 is bxsim's terminal and COM2 the echoing one, through links in the work folder;
# wine's own serial ports take the numbers after them. Wine reads its port list when
# its server starts. The window's settings and records of an earlier run are removed.
for port in COM1=sim COM2=echo; do
  "$wine" reg add 'HKLM\Software\Wine\Ports' /v "${port%=*}" /t REG_SZ /d "$work/links/${port#*=}" \
    /f > /dev/null 2>&1 || fail "could not give the wine prefix its ${port%=*}"
done
"$wine" reg delete 'HKCU\Software\Kalmeon Energy' /f > /dev/null 2>&1 || true
rm -rf "$CALIB_WINEPREFIX"/drive_c/users/*/AppData/Local/"Kalmeon Energy"
"$wine" --server -k 2> /dev/null || true
"$wine" --server -w 2> /dev/null || true

start_x_server
start_sim --device-version 2001203 --cal-source 1003 --loader-firmware 114
# The ports are wine's: no port folder of the Linux programs.
env -u KALMEON_PORTS_DIR "$wine" "$gui" > "$work/gui.out" 2>&1 &
guipid=$!
find_main_window
sleep 1 # the first paint
shot start

# ==== 1. The menu, by its keys ====
step_tasks_menu
# ==== 2. A refused file: the reader's reason, nothing sent ====
step_refused_file
# ==== 3. The summary, then Cancel: nothing sent ====
step_cancelled_summary
# ==== 4. The update through the dialogs to "Firmware updated." ====
step_update
# ==== 5. A calibration of the updated device: the second record ====
start_sim --device-version 2001250 --cal-source 1003
step_calibration
# ==== 6. The adapter check over a pseudo-terminal that echoes (a loopback plug) ====
start_echo_line "$work/links/echo"
step_adapter_check Home Down # COM2, after COM1
# Wine's serial driver sets a rate outside its table (7680) by a custom divisor of the
# UART and otherwise leaves the line at 38400, which a pseudo-terminal reports back: the
# check must name that rate as failed, with what the driver set, and pass the other eight.
[ "$(grep -c $'\tpassed' <<< "$table")" -eq 8 ] || fail "not eight rates passed over the echo"
grep -qx $'7680\tbytes unchanged (0xFF incl.)\tFAILED\t.*(its driver set 38400 baud).*' <<< "$table" ||
  fail "7680 baud is not reported as set to 38400 by wine's driver"
log_count_is "Adapter check at COM2: This adapter can serve neither a BX2 nor a BX1." 1 ||
  fail "no verdict in the log"
# ==== 7. The history: two records, the update's and the calibration's ====
step_history

# ==== 8. The window closes as a person closes it, with exit status 0 ====
close_window
window_exits_0
echo "the window's tasks of calibrator.exe under wine: all checks passed (screenshots in $shots)"
