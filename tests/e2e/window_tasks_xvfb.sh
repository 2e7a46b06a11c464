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
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" "$HOME"
chmod 700 "$XDG_RUNTIME_DIR"
export QT_QPA_PLATFORM=xcb
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" # see window_xvfb.sh
unset WAYLAND_DISPLAY SESSION_MANAGER
# shellcheck source=lib/window_tasks.bash
source "$here/lib/window_tasks.bash"
progress_shot_count=6
cleanup() {
  for p in $guipid $simpid $echopid $xpid; do kill "$p" 2> /dev/null || true; done
  wait 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

make_firmware_files

start_x_server
start_sim --com 1 --device-version 2001203 --cal-source 1003 --loader-firmware 114
wait_for 30 test -e "$KALMEON_PORTS_DIR/com1" || fail "bxsim did not map Com 1"
"$gui" > "$work/gui.out" 2>&1 &
guipid=$!
find_main_window
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
start_sim --com 1 --device-version 2001250 --cal-source 1003
step_calibration
# ==== 6. The adapter check over a pseudo-terminal that echoes (a loopback plug) ====
start_echo_line "$KALMEON_PORTS_DIR/com2"
step_adapter_check End # Com 2, the last port of the list
[ "$(grep -c $'\tpassed' <<< "$table")" -eq 9 ] || fail "not every rate passed over the echo"
log_count_is "Adapter check at COM2: This adapter can serve a BX2; the BX1 checks could not be made on this line." 1 ||
  fail "no verdict in the log"
# ==== 7. The history: two records, the update's and the calibration's ====
step_history

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
