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
echopid=''
cleanup() {
  stop_all_sims
  for p in $guipid $echopid; do kill "$p" 2> /dev/null || true; done
  "$wine" --server -k 2> /dev/null || true
  [ -n "$xpid" ] && kill "$xpid" 2> /dev/null
  wait 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The program's visible window named exactly NAME other than the windows given; sets dlg.
dialog_named() {
  local name=$1 w
  shift
  dlg=''
  for w in $(program_windows); do
    [ "$w" = "$wid" ] && continue
    printf '%s\n' "$@" | grep -qx "$w" && continue
    [ "$(xdotool getwindowname "$w" 2> /dev/null)" = "$name" ] && dlg=$w && return 0
  done
  return 1
}
# keys WINDOW KEYS...: gives WINDOW the keyboard and presses the keys. (Wine takes the
# focus in its own time: keys sent at once after a dialog shows may go nowhere.)
keys() {
  local w=$1
  shift
  xdotool windowfocus --sync "$w" 2> /dev/null || true
  sleep 0.5
  xdotool key --clearmodifiers --delay 60 "$@"
}
window_gone() { ! program_windows | grep -qx "$1"; }
# answer WINDOW KEYS...: the keys that close WINDOW, pressed again while it stays (a key
# that came before wine gave the dialog the focus is lost); fails the test after 30 s.
answer() {
  for _ in 1 2 3 4 5 6; do
    keys "$@"
    wait_for 5 window_gone "$1" && return 0
  done
  fail "$(xdotool getwindowname "$1" 2> /dev/null) stayed after ${*:2}"
}
# copy_table WINDOW: the table of a task's dialog as a person copies it (a click into
# it, Ctrl+A, Ctrl+C): tab-separated rows in $table.
copy_table() {
  eval "$(xdotool getwindowgeometry --shell "$1" | sed 's/^/DLG_/')"
  xdotool mousemove --sync $((DLG_X + DLG_WIDTH / 2)) $((DLG_Y + DLG_HEIGHT / 2)) click 1
  xdotool key --clearmodifiers ctrl+a ctrl+c
  table=$(timeout 20 xclip -o -selection clipboard 2> /dev/null | tr -d '\r') || table=''
}
adapter_table_complete() {
  copy_table "$check"
  grep -q "driver's error counters agree" <<< "$table"
}
# A Linux path as the Windows program reaches it: wine's Z: drive.
z_path() { printf 'Z:%s' "${1//\//\\}"; }
# Opens "Update device firmware..." by its shortcut and types FILE (by Z:) into the file
# dialog's name field; sets dlg to the next window of that name (summary, or refusal).
choose_firmware_file() {
  keys "$wid" ctrl+u
  wait_for 60 dialog_named "Update device firmware" || fail "no file dialog"
  local chooser=$dlg
  xdotool windowfocus --sync "$chooser" 2> /dev/null || true
  sleep 1 # the dialog lists its folder before it takes keys
  xdotool type --delay 30 "$(z_path "$1")"
  shot "file-dialog-$(basename "$1" .kff)"
  answer "$chooser" Return
  wait_for 60 dialog_named "Update device firmware" "$chooser" || fail "nothing after the file"
}

mkdir -p "$work/fw"
"$build/tools/kfftool" pack "$src/sim/bxsim/inverter_2001250.txt" "$work/fw/inverter.kff" \
  > /dev/null || fail "kfftool pack"
# The same file with one byte of a code line changed: its checksum no longer holds.
cp "$work/fw/inverter.kff" "$work/fw/broken.kff"
size=$(stat -c %s "$work/fw/broken.kff")
printf 'Z' | dd of="$work/fw/broken.kff" bs=1 seek=$((size - 20)) conv=notrunc status=none

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
keys "$wid" alt+t
sleep 1
shot tasks-menu
keys "$wid" Escape Escape

# ==== 2. A refused file: the reader's reason, nothing sent ====
choose_firmware_file "$work/fw/broken.kff"
shot refused-file
answer "$dlg" Return
read_log
grep -q "not a usable firmware file" <<< "$log" || fail "the refusal is not in the log"

# ==== 3. The summary, then Cancel: nothing sent ====
choose_firmware_file "$work/fw/inverter.kff"
summary=$dlg
shot summary
answer "$summary" Escape
read_log
grep -q "^Updating the device's firmware" <<< "$log" && fail "an update started after Cancel"

# ==== 4. The update through the dialogs to "Firmware updated." ====
choose_firmware_file "$work/fw/inverter.kff"
summary=$dlg
answer "$summary" Return # Update (the port is COM1, the first)
progress_shots=0 answered=''
end=$((SECONDS + 300))
until dialog_named "Update device firmware"; do
  [ "$SECONDS" -lt "$end" ] || fail "the update did not end"
  for w in $(program_windows); do
    name=$(xdotool getwindowname "$w" 2> /dev/null || true)
    case $name in
      Updating*) [ "$progress_shots" -eq 0 ] && progress_shots=1 ;;
      Warning | Information | Confirm | Error) # the updater's own instructions
        grep -qx "$w" <<< "$answered" || shot "updater-says-$name"
        answered+=$w$'\n'
        keys "$w" Return
        ;;
    esac
  done
  if [ "$progress_shots" -gt 0 ] && [ "$progress_shots" -le 3 ]; then
    shot "progress-$progress_shots"
    progress_shots=$((progress_shots + 1))
    sleep 1
  fi
  sleep 0.3
done
[ "$progress_shots" -gt 0 ] || fail "no progress window was seen"
shot update-result
answer "$dlg" Return
read_log
deselect_log
shot updated
grep -qx "Firmware updated." <<< "$log" || fail "no \"Firmware updated.\" in the log"
stop_sim
grep -qx "word 0x21A8 = 6419" "$work/sim.out" || fail "0x21A8 not carried over"
grep -qx "word 0x21C2 = 6419" "$work/sim.out" || fail "0x21C2 not carried over"
mv "$work/sim.out" "$work/sim.update"

# ==== 5. A calibration of the updated device: the second record ====
start_sim --device-version 2001250 --cal-source 1003
open_list
pick_item 1
wait_for 240 device_done_ok 1 || fail "the log did not end the device with OK!"
deselect_log
shot calibrated
grep -qx "Software version: 2001250" <<< "$log" || fail "the updated version was not read"
stop_sim
mv "$work/sim.out" "$work/sim.calibration"

# ==== 6. The adapter check over a pseudo-terminal that echoes (a loopback plug) ====
python3 - "$work/links/echo" > /dev/null 2>&1 <<'PY' &
import os, pty, sys, select
master, slave = pty.openpty()
os.symlink(os.ttyname(slave), sys.argv[1])
while True:
    select.select([master], [], [])
    os.write(master, os.read(master, 256))
PY
echopid=$!
wait_for 30 test -L "$work/links/echo" || fail "no echoing terminal"
keys "$wid" ctrl+k
wait_for 60 dialog_named "Check adapter" || fail "no adapter check dialog"
check=$dlg
keys "$check" alt+p Home Down # COM2, after COM1
shot adapter-port-chosen
keys "$check" alt+c
wait_for 120 adapter_table_complete || { shot adapter-check-failed; fail "the check did not end"; }
shot adapter-check
printf '%s\n' "$table"
# Wine's serial driver sets a rate outside its table (7680) by a custom divisor of the
# UART and otherwise leaves the line at 38400, which a pseudo-terminal reports back: the
# check must name that rate as failed, with what the driver set, and pass the other eight.
[ "$(grep -c $'\tpassed' <<< "$table")" -eq 8 ] || fail "not eight rates passed over the echo"
grep -qx $'7680\tbytes unchanged (0xFF incl.)\tFAILED\t.*(its driver set 38400 baud).*' <<< "$table" ||
  fail "7680 baud is not reported as set to 38400 by wine's driver"
answer "$check" Escape
log_count_is "Adapter check at COM2: This adapter can serve neither a BX2 nor a BX1." 1 ||
  fail "no verdict in the log"

# ==== 7. The history: two records, the update's and the calibration's ====
keys "$wid" ctrl+h
wait_for 30 dialog_named "Calibration history" || fail "no history dialog"
history=$dlg
shot history
copy_table "$history"
echo "$table"
[ "$(grep -c . <<< "$table")" -eq 2 ] || fail "the history does not show two records"
grep -q "2001250.*Firmware updated\." <<< "$table" || fail "no update record in the history"
grep -q "1003 -> 6419.*OK!" <<< "$table" || fail "no calibration record in the history"
answer "$history" Escape

# ==== 8. The window closes as a person closes it, with exit status 0 ====
close_window
window_exits_0
echo "the window's tasks of calibrator.exe under wine: all checks passed (screenshots in $shots)"
