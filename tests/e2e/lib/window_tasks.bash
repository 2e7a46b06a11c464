# The steps of the window's tasks test that are the same for the Linux window and for
# calibrator.exe under wine, on top of xwindow.bash and bxsim.bash (sourced first).
# The caller may set:
#   program_path PATH   prints PATH as the program reaches it (default: unchanged)
#   key_settle          seconds to wait after giving a window the focus (default 0;
#                       wine takes the focus in its own time)
#   dialog_wait         seconds a dialog may take to show (default 30)
#   progress_shot_count screenshots of the progress window (default 3)
# shellcheck shell=bash
type program_path > /dev/null 2>&1 || program_path() { printf '%s' "$1"; }
key_settle=${key_settle:-0}
dialog_wait=${dialog_wait:-30}
progress_shot_count=${progress_shot_count:-3}
echopid=''

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
  sleep "$key_settle"
  xdotool key --clearmodifiers --delay 60 "$@"
}
window_gone() { ! program_windows | grep -qx "$1"; }
# answer WINDOW KEYS...: the keys that close WINDOW, pressed again while it stays (a key
# that came before the dialog had the focus is lost); fails the test after 30 s.
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
# The adapter check's table has its last row (the check has ended).
adapter_table_complete() {
  copy_table "$check"
  grep -q "driver's error counters agree" <<< "$table"
}
# Opens "Update device firmware..." by its shortcut and types FILE into the file
# dialog's name field; sets dlg to the next window of that name (summary, or refusal).
choose_firmware_file() {
  keys "$wid" ctrl+u
  wait_for "$dialog_wait" dialog_named "Update device firmware" || fail "no file dialog"
  local chooser=$dlg
  xdotool windowfocus --sync "$chooser" 2> /dev/null || true
  sleep 1 # the dialog lists its folder before it takes keys
  xdotool type --delay 30 "$(program_path "$1")"
  shot "file-dialog-$(basename "$1" .kff)"
  answer "$chooser" Return
  wait_for "$dialog_wait" dialog_named "Update device firmware" "$chooser" ||
    fail "nothing after the file"
}

# inverter.kff packed by kfftool, and broken.kff: the same with one byte of a code line
# changed, so that its checksum no longer holds. Both in $work/fw.
make_firmware_files() {
  mkdir -p "$work/fw"
  "$build/tools/kfftool" pack "$src/sim/bxsim/inverter_2001250.txt" "$work/fw/inverter.kff" \
    > /dev/null || fail "kfftool pack"
  cp "$work/fw/inverter.kff" "$work/fw/broken.kff"
  local size
  size=$(stat -c %s "$work/fw/broken.kff")
  printf 'Z' | dd of="$work/fw/broken.kff" bs=1 seek=$((size - 20)) conv=notrunc status=none
}

# start_echo_line LINK: a pseudo-terminal that sends back what it gets (a loopback plug),
# reached through the symbolic link LINK.
start_echo_line() {
  python3 - "$1" > /dev/null 2>&1 <<'PY' &
import os, pty, sys, select
master, slave = pty.openpty()
os.symlink(os.ttyname(slave), sys.argv[1])
while True:
    select.select([master], [], [])
    os.write(master, os.read(master, 256))
PY
  echopid=$!
  wait_for 30 test -L "$1" || fail "no echoing terminal"
}

step_tasks_menu() {
  keys "$wid" alt+t
  sleep 1
  shot tasks-menu
  keys "$wid" Escape Escape
}

# A refused file: the reader's reason, nothing sent.
step_refused_file() {
  choose_firmware_file "$work/fw/broken.kff"
  shot refused-file
  answer "$dlg" Return
  read_log
  grep -q "not a usable firmware file" <<< "$log" || fail "the refusal is not in the log"
}

# The summary, then Cancel: nothing sent.
step_cancelled_summary() {
  choose_firmware_file "$work/fw/inverter.kff"
  shot summary
  answer "$dlg" Escape
  read_log
  grep -q "^Updating the device's firmware" <<< "$log" && fail "an update started after Cancel"
  return 0
}

# The update through the dialogs to "Firmware updated.", the calibration carried over in
# bxsim's words; bxsim is stopped and its output kept as sim.update.
step_update() {
  choose_firmware_file "$work/fw/inverter.kff"
  answer "$dlg" Return # Update (the device's port is the first of the list)
  local progress_shots=0 answered='' end=$((SECONDS + 300)) w name
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
    # The progress window from its first caption on, a screenshot a second.
    if [ "$progress_shots" -gt 0 ] && [ "$progress_shots" -le "$progress_shot_count" ]; then
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
}

# A calibration of the updated device (bxsim started by the caller): the second record.
step_calibration() {
  open_list
  pick_item 1
  wait_for 240 device_done_ok 1 || fail "the log did not end the device with OK!"
  deselect_log
  shot calibrated
  grep -qx "Software version: 2001250" <<< "$log" || fail "the updated version was not read"
  stop_sim
  mv "$work/sim.out" "$work/sim.calibration"
}

# step_adapter_check KEYS: the check on the echoing line, chosen in the port list by
# KEYS; leaves the copied table in $table for the caller's verdict.
step_adapter_check() {
  keys "$wid" ctrl+k
  wait_for 60 dialog_named "Check adapter" || fail "no adapter check dialog"
  check=$dlg
  keys "$check" alt+p "$@"
  shot adapter-port-chosen
  keys "$check" alt+c
  wait_for 120 adapter_table_complete || {
    shot adapter-check-failed
    fail "the check did not end"
  }
  shot adapter-check
  printf '%s\n' "$table"
  answer "$check" Escape
}

# The history: two records, the update's and the calibration's.
step_history() {
  keys "$wid" ctrl+h
  wait_for "$dialog_wait" dialog_named "Calibration history" || fail "no history dialog"
  local history=$dlg
  shot history
  copy_table "$history"
  echo "$table"
  [ "$(grep -c . <<< "$table")" -eq 2 ] || fail "the history does not show two records"
  grep -q "2001250.*Firmware updated\." <<< "$table" || fail "no update record in the history"
  grep -q "1003 -> 6419.*OK!" <<< "$table" || fail "no calibration record in the history"
  answer "$history" Escape
}
