#!/usr/bin/env bash
# The window's tasks beside the calibration in a real X server, used as a person does
# (the menu by its keys, the dialogs answered with the keyboard, the log and the
# history table read by select all, copy and the clipboard): a bxsim device updated
# from a file packed by kfftool to "Firmware updated." with its calibration carried
# over, a refused file, a cancelled update, the adapter check over a pseudo-terminal
# that echoes, and the history with two records. Screenshots of every step go to
# <build>/e2e-screenshots/window-tasks/. Exit 77 (skipped) only when no X server is
# installed.
set -euo pipefail
build=${1:?build directory}
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
gui=$build/app/calibrator
if ! command -v Xvfb > /dev/null; then
  echo "SKIP: no X server (Xvfb); setup.sh installs it"
  exit 77
fi
# shellcheck source=lib/bxsim.bash
source "$here/lib/bxsim.bash" # work, the per-run folders, start_sim, stop_sim
shots=$build/e2e-screenshots/window-tasks
# shellcheck source=lib/xwindow.bash
source "$here/lib/xwindow.bash"
export XDG_RUNTIME_DIR=$work/runtime HOME=$work/home
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" "$HOME" "$work/fw"
chmod 700 "$XDG_RUNTIME_DIR"
export QT_QPA_PLATFORM=xcb
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" # see window_xvfb.sh
unset WAYLAND_DISPLAY SESSION_MANAGER
echopid=''
cleanup() {
  for p in $guipid $simpid $echopid $xpid; do kill "$p" 2> /dev/null || true; done
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
# keys WINDOW KEYS...: gives WINDOW the keyboard and presses the keys.
keys() {
  local w=$1
  shift
  xdotool windowfocus --sync "$w" 2> /dev/null || true
  xdotool key --clearmodifiers --delay 60 "$@"
}
window_gone() { ! program_windows | grep -qx "$1"; }
# copy_table WINDOW: the table of a task's dialog as a person copies it (a click into
# it, Ctrl+A, Ctrl+C): tab-separated rows in $table.
copy_table() {
  eval "$(xdotool getwindowgeometry --shell "$1" | sed 's/^/DLG_/')"
  xdotool mousemove --sync $((DLG_X + DLG_WIDTH / 2)) $((DLG_Y + DLG_HEIGHT / 2)) click 1
  xdotool key --clearmodifiers ctrl+a ctrl+c
  table=$(timeout 20 xclip -o -selection clipboard 2> /dev/null) || table=''
}
# The adapter check's table has its last row (the check has ended).
adapter_table_complete() {
  copy_table "$check"
  grep -q "driver's error counters agree" <<< "$table"
}
# Opens "Update device firmware..." by its shortcut and chooses FILE; sets dlg to the
# next window of that name (the summary, or the refusal).
choose_firmware_file() {
  keys "$wid" ctrl+u
  wait_for 30 dialog_named "Update device firmware" || fail "no file dialog"
  local chooser=$dlg
  xdotool windowfocus --sync "$chooser" 2> /dev/null || true
  xdotool type --delay 20 "$1"
  shot "file-dialog-$(basename "$1" .kff)"
  keys "$chooser" Return
  wait_for 30 window_gone "$chooser" || fail "the file dialog stayed"
  wait_for 30 dialog_named "Update device firmware" "$chooser" || fail "nothing after the file"
}

"$build/tools/kfftool" pack "$src/sim/bxsim/inverter_2001250.txt" "$work/fw/inverter.kff" \
  > /dev/null || fail "kfftool pack"
# The same file with one byte of a code line changed: its checksum no longer holds.
cp "$work/fw/inverter.kff" "$work/fw/broken.kff"
size=$(stat -c %s "$work/fw/broken.kff")
printf 'Z' | dd of="$work/fw/broken.kff" bs=1 seek=$((size - 20)) conv=notrunc status=none

start_x_server
start_sim --com 1 --device-version 2001203 --cal-source 1003 --loader-firmware 114
wait_for 30 test -e "$KALMEON_PORTS_DIR/com1" || fail "bxsim did not map Com 1"
"$gui" > "$work/gui.out" 2>&1 &
guipid=$!
find_main_window
shot start

# ==== 1. The menu, by its keys ====
keys "$wid" alt+t
sleep 1
shot tasks-menu
keys "$wid" Escape Escape

# ==== 2. A refused file: the reader's reason, nothing sent ====
choose_firmware_file "$work/fw/broken.kff"
shot refused-file
keys "$dlg" Return
read_log
grep -q "not a usable firmware file" <<< "$log" || fail "the refusal is not in the log"

# ==== 3. The summary, then Cancel: nothing sent ====
choose_firmware_file "$work/fw/inverter.kff"
summary=$dlg
shot summary
keys "$summary" Escape
wait_for 30 window_gone "$summary" || fail "Cancel did not close the summary"
read_log
grep -q "^Updating the device's firmware" <<< "$log" && fail "an update started after Cancel"

# ==== 4. The update through the dialogs to "Firmware updated." ====
choose_firmware_file "$work/fw/inverter.kff"
summary=$dlg
keys "$summary" Return # Update (the port is Com 1, the only one)
wait_for 30 window_gone "$summary" || fail "the summary stayed"
progress_shots=0
end=$((SECONDS + 300))
until dialog_named "Update device firmware"; do
  [ "$SECONDS" -lt "$end" ] || fail "the update did not end"
  for w in $(program_windows); do
    name=$(xdotool getwindowname "$w" 2> /dev/null || true)
    case $name in
      Updating*) [ "$progress_shots" -eq 0 ] && progress_shots=1 ;;
      Warning | Information | Confirm | Error) # the updater's own instructions
        shot "updater-says-$name"
        keys "$w" Return
        ;;
    esac
  done
  # The progress window from its first caption on (the caption is emptied once the
  # lines go), a screenshot a second.
  if [ "$progress_shots" -gt 0 ] && [ "$progress_shots" -le 6 ]; then
    shot "progress-$progress_shots"
    progress_shots=$((progress_shots + 1))
    sleep 1
  fi
  sleep 0.3
done
[ "$progress_shots" -gt 0 ] || fail "no progress window was seen"
shot update-result
keys "$dlg" Return
read_log
shot updated
grep -qx "Firmware updated." <<< "$log" || fail "no \"Firmware updated.\" in the log"
stop_sim
grep -qx "word 0x21A8 = 6419" "$work/sim.out" || fail "0x21A8 not carried over"
grep -qx "word 0x21C2 = 6419" "$work/sim.out" || fail "0x21C2 not carried over"
mv "$work/sim.out" "$work/sim.update"

# ==== 5. A calibration of the updated device: the second record ====
start_sim --com 1 --device-version 2001250 --cal-source 1003
open_list
pick_item 1
wait_for 240 device_done_ok 1 || fail "the log did not end the device with OK!"
shot calibrated
grep -qx "Software version: 2001250" <<< "$log" || fail "the updated version was not read"
stop_sim
mv "$work/sim.out" "$work/sim.calibration"

# ==== 6. The adapter check over a pseudo-terminal that echoes (a loopback plug) ====
python3 - "$work/echo-pty" > /dev/null 2>&1 <<'PY' &
import os, pty, sys, select
master, slave = pty.openpty()
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(os.ttyname(slave))
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
while True:
    select.select([master], [], [])
    os.write(master, os.read(master, 256))
PY
echopid=$!
wait_for 30 test -s "$work/echo-pty" || fail "no echoing terminal"
ln -sf "$(cat "$work/echo-pty")" "$KALMEON_PORTS_DIR/com2"
keys "$wid" ctrl+k
wait_for 60 dialog_named "Check adapter" || fail "no adapter check dialog"
check=$dlg
keys "$check" alt+p End # Com 2, the last port of the list
shot adapter-port-chosen
keys "$check" alt+c
wait_for 120 adapter_table_complete || { shot adapter-check-failed; fail "the check did not end"; }
shot adapter-check
printf '%s\n' "$table"
[ "$(grep -c $'\tpassed' <<< "$table")" -eq 9 ] || fail "not every rate passed over the echo"
keys "$check" Escape
wait_for 30 window_gone "$check" || fail "the adapter check stayed"
log_count_is "Adapter check at COM2: This adapter can serve a BX2; the BX1 checks could not be made on this line." 1 ||
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
keys "$history" Escape
wait_for 30 window_gone "$history" || fail "the history stayed"

# ==== 8. Closing the window during an update: asked first, stopped at a safe point ====
# (The close comes while the updater connects; the stop follows at the next step or line.)
# Paced as on a wire, so that the update lasts long enough for the close.
start_sim --com 1 --paced --device-version 2001203 --cal-source 1003 --loader-firmware 114
choose_firmware_file "$work/fw/inverter.kff"
keys "$dlg" Return # Update
wait_for 180 dialog_named "Updating inverter.kff" || fail "no progress window"
shot close-during-update
close_window
wait_for 60 dialog_named "Update device firmware" || fail "closing during the update did not ask"
question=$dlg
shot close-during-update-asks
keys "$question" alt+y # Yes (No is the default)
wait_for 60 window_gone "$question" || fail "the question stayed"
wait_for 120 dialog_named "Update device firmware" || fail "the stopped update did not end"
shot close-during-update-stopped
keys "$dlg" Return
window_exits_0
stop_sim
# While the question is open the lines go on; with this small file the update may end
# before the answer. The record tells which, and the device must match it.
"$cli" --history > "$work/history" 2>&1 || fail "calibrator-cli --history"
last=$(tail -n 2 "$work/history" | head -n 1)
case $last in
  *"Update stopped.") echo "the update stopped at a safe point" ;;
  *"Firmware updated.")
    echo "the update ended before the answer"
    grep -qx "word 0x21A8 = 6419" "$work/sim.out" || fail "0x21A8 not carried over"
    ;;
  *) fail "the closed update's record: $last" ;;
esac
echo "the window's tasks under Xvfb: all checks passed (screenshots in $shots)"
