#!/usr/bin/env bash
# The window in a real X server, driven as a person does: Xvfb on a free display, the
# real `calibrator` against `bxsim --com 1 --paced`, the mouse and the keyboard through
# xdotool, the log read by select all, copy and the clipboard (xclip). A screenshot of
# every step goes to <build>/e2e-screenshots/window/. Exit 77 (skipped) only when no X
# server is installed.
set -euo pipefail
build=${1:?build directory}
here=$(cd "$(dirname "$0")" && pwd)
gui=$build/app/calibrator
sim=$build/sim/bxsim
if ! command -v Xvfb > /dev/null; then
  echo "SKIP: no X server (Xvfb); setup.sh installs it"
  exit 77
fi
for tool in xdotool xclip import convert python3; do
  command -v "$tool" > /dev/null || { echo "FAIL: $tool is missing (setup.sh installs it)"; exit 1; }
done

shots=$build/e2e-screenshots/window
rm -rf "$shots"
mkdir -p "$shots"
work=$(mktemp -d)
export KALMEON_PORTS_DIR=$work/ports KALMEON_LOCK_DIR=$work/lock
export XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime HOME=$work/home
mkdir -p "$KALMEON_LOCK_DIR" "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" "$HOME"
chmod 700 "$XDG_RUNTIME_DIR"
export QT_QPA_PLATFORM=xcb
# Under the address sanitizer: the X platform's libraries (D-Bus, fontconfig, xcb) keep
# allocations for the life of the process, which the leak check would count against us.
# The window's own code is leak-checked by the offscreen widget tests.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
unset WAYLAND_DISPLAY SESSION_MANAGER
xpid='' simpid='' guipid='' log=''
cleanup() {
  for p in $guipid $simpid $xpid; do kill "$p" 2> /dev/null || true; done
  wait 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

step=0
shot() {
  step=$((step + 1))
  import -display "$DISPLAY" -window root "$shots/$(printf %02d $step)-$1.png" 2> /dev/null ||
    echo "(no screenshot of $1)"
}
fail() {
  echo "FAIL: $*"
  [ -n "${DISPLAY:-}" ] && shot failure
  echo "--- last log read"
  printf '%s\n' "$log"
  echo "--- bxsim"
  cat "$work"/sim.* 2> /dev/null || true
  echo "--- window"
  cat "$work/gui.out" 2> /dev/null || true
  exit 1
}
# wait_for SECONDS COMMAND...: runs COMMAND until it succeeds; false after SECONDS.
wait_for() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.2
  done
}

# ---- the X server, on the first free display (it writes the number it took) ----
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3> "$work/display" 2> "$work/xvfb.err" &
xpid=$!
wait_for 60 test -s "$work/display" || { cat "$work/xvfb.err"; fail "Xvfb did not start"; }
export DISPLAY=:$(head -n 1 "$work/display")
echo "X server on $DISPLAY; screenshots in $shots"

# ---- the simulated interface and device as "Com 1" ----
start_sim() {
  rm -f "$work/sim.out"
  "$sim" --com 1 --paced "$@" > "$work/sim.out" 2>&1 &
  simpid=$!
  wait_for 30 test -s "$work/sim.out" || fail "bxsim gave no terminal"
  pty=$(head -n 1 "$work/sim.out")
  wait_for 30 test -e "$KALMEON_PORTS_DIR/com1" || fail "bxsim did not map Com 1"
}
# stop_sim NAME: ends bxsim; its report (words written, EEPROM switch) is in $work/sim.NAME.
stop_sim() {
  kill -TERM "$simpid"
  wait "$simpid" || fail "bxsim did not end cleanly"
  simpid=''
  mv "$work/sim.out" "$work/sim.$1"
}
# The program holds the terminal open (a file descriptor on it).
holds_line() {
  local fd
  for fd in /proc/"$guipid"/fd/*; do
    [ "$(readlink "$fd" 2> /dev/null)" = "$pty" ] && return 0
  done
  return 1
}
releases_line() { ! holds_line; }

# ---- the window ----
start_window() {
  "$gui" > "$work/gui.out" 2>&1 &
  guipid=$!
  wid=$(timeout 120 xdotool search --sync --onlyvisible --pid "$guipid" \
    --name 'Calibration for 0A8-0AF' | head -n 1) || fail "the window did not appear"
  eval "$(xdotool getwindowgeometry --shell "$wid")" # X Y WIDTH HEIGHT of the window
  xdotool windowfocus --sync "$wid"
}
# The window's program ended: its exit status must be 0.
window_exits_0() {
  local status=0
  wait_for 120 test ! -d "/proc/$guipid" -o -n "$(awk '$3 == "Z"' "/proc/$guipid/stat" 2> /dev/null)" ||
    fail "the window did not end after its close"
  wait "$guipid" || status=$?
  guipid=''
  [ "$status" -eq 0 ] || fail "the window ended with status $status"
}
close_window() { python3 "$here/window_close_request.py" "$wid"; }

# Reads the log as a person copies it: a click into it, Ctrl+A, Ctrl+C, the clipboard.
read_log() {
  xdotool mousemove --sync $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 1
  xdotool key --clearmodifiers ctrl+a ctrl+c
  log=$(timeout 20 xclip -o -selection clipboard 2> /dev/null) || log=''
}
count() { grep -cxF -- "$1" <<< "$log" || true; }
# log_count_is TEXT N: the log has exactly N lines TEXT.
log_count_is() {
  read_log
  [ "$(count "$1")" -eq "$2" ]
}
# A device ended with "OK!": its closing lines follow it.
device_done_ok() {
  read_log
  [ "$(count "OK!")" -eq "$1" ] && [ "$(tail -n 1 <<< "$log")" = "(To restart, select comport.)" ]
}

# ---- the port list ----
# Drops the list down with a click on it and finds the list's window (popup geometry).
open_list() {
  xdotool mousemove --sync $((X + 30)) $((Y + 18)) click 1
  wait_for 30 find_popup || fail "the list did not drop down"
}
# (The largest of the program's other windows narrower than the main one: the search
# also finds a screen-sized window, and a tooltip may be shown.)
find_popup() {
  local w area best=0
  popup=''
  for w in $(xdotool search --onlyvisible --pid "$guipid" --class '' 2> /dev/null); do
    [ "$w" = "$wid" ] && continue
    eval "$(xdotool getwindowgeometry --shell "$w" | sed 's/^/POPUP_/')"
    [ "$POPUP_WIDTH" -lt "$WIDTH" ] || continue # not a window of the list's size
    area=$((POPUP_WIDTH * POPUP_HEIGHT))
    [ "$area" -gt "$best" ] && best=$area && popup=$w
  done
  [ -n "$popup" ] || return 1
  eval "$(xdotool getwindowgeometry --shell "$popup" | sed 's/^/POPUP_/')"
  [ "$POPUP_HEIGHT" -gt 20 ]
}
# The rows of the highlighted item (the current one, "Select com port", when the list
# has just dropped down) in the list's window: FIRST and HEIGHT of the band.
find_highlight() {
  import -display "$DISPLAY" -window root \
    -crop "${POPUP_WIDTH}x${POPUP_HEIGHT}+${POPUP_X}+${POPUP_Y}" +repage "$work/popup.png"
  # Each row averaged to one pixel; the highlight is blue where the list is grey/white.
  read -r BAND_FIRST BAND_HEIGHT < <(convert "$work/popup.png" -scale '1x!' -depth 8 txt:- |
    awk -F'[,:() ]+' '/^[0-9]/ { r=$3; b=$5; if (b - r > 60) { if (first == "") first=$2; last=$2 } }
         END { if (first != "") print first, last - first + 1 }')
  [ -n "${BAND_HEIGHT:-}" ] && [ "$BAND_HEIGHT" -ge 8 ]
}
# pick_item N: clicks item N of the dropped-down list (0 = "Select com port").
pick_item() {
  wait_for 30 find_highlight || fail "no current item in the list"
  xdotool mousemove --sync $((POPUP_X + POPUP_WIDTH / 3)) \
    $((POPUP_Y + BAND_FIRST + BAND_HEIGHT * $1 + BAND_HEIGHT / 2))
  sleep 0.3 # the item under the pointer is highlighted (and shown in the screenshot)
  shot "pick-item-$1"
  xdotool click 1
  wait_for 30 list_closed || fail "the list stayed open after the pick"
}
list_closed() { ! xdotool search --onlyvisible --pid "$guipid" --class '' 2> /dev/null | grep -qx "$popup"; }
# The last line of the log ends with at least N "* " marks.
marks_at_least() {
  read_log
  [[ "$(tail -n 1 <<< "$log")" == *"$(printf '* %.0s' $(seq "$1"))" ]]
}

# ==== 1. The first screen: no caption cut under this server's fonts ====
start_sim
start_window
shot start
QT_QPA_PLATFORM=xcb "$build/tests/test_widgets" --gtest_brief=1 \
  --gtest_filter='MainWindowLayout.NoCaptionIsCutAtCommonFontSizes' > "$work/captions" 2>&1 ||
  { cat "$work/captions"; fail "a caption of the first screen is cut"; }

# ==== 2. Pick Com 1 with the mouse; the device is calibrated to OK! ====
open_list
shot list-dropped-down
pick_item 1
wait_for 120 log_count_is "Trying to connect at COM1" 1 || fail "no connection at COM1"
shot after-pick
wait_for 180 device_done_ok 1 || fail "the log did not end the device with OK!"
shot calibrated
grep -qx "Software version: 2606207" <<< "$log" || fail "no version line"
wait_for 60 releases_line || fail "the port stayed open after the device"
stop_sim first
grep -qx "word 0x21A8 = 6419" "$work/sim.first" || fail "bxsim: 0x21A8 not 6419"
grep -qx "word 0x21C2 = 6419" "$work/sim.first" || fail "bxsim: 0x21C2 not 6419"
grep -qx "EEPROM writes disabled" "$work/sim.first" || fail "bxsim: EEPROM left writable"
writes_of_one=$(sed -n 's/^writes: //p' "$work/sim.first")

# ==== 3. Arrow keys on the closed list, quickly, while the port opens ====
start_sim
open_list
xdotool key Escape # the list closes; the keyboard stays on it
wait_for 30 list_closed || fail "Escape did not close the list"
xdotool key --delay 30 Down Up Down Up Down # Com 1, Select, Com 1, Select, Com 1
shot arrow-keys
wait_for 180 device_done_ok 2 || fail "no second OK! after the arrow keys"
shot arrow-keys-calibrated
[ "$(count "Trying to connect at COM1")" -eq 4 ] || fail "not one try per pick of Com 1"
[ "$(count "Connected!")" -eq 2 ] || fail "more than one connection after the arrow keys"
kill -0 "$guipid" || fail "the window ended"
wait_for 60 releases_line || fail "the port stayed open after the device"
stop_sim keys
[ "$(sed -n 's/^writes: //p' "$work/sim.keys")" = "$writes_of_one" ] ||
  fail "the arrow keys did not give exactly one calibration"

# ==== 4. "Select com port" while the "* " marks go on ====
start_sim --silent-device
open_list
pick_item 1
wait_for 120 marks_at_least 3 || fail "no * marks while the device is silent"
shot marks
open_list
pick_item 0
wait_for 60 releases_line || fail "the port was not released by Select com port"
[ -z "$(ls -A "$KALMEON_LOCK_DIR")" ] || fail "a lock file was left: $(ls "$KALMEON_LOCK_DIR")"
read_log
before=$log
sleep 2 # ten ticks of the connection cycle
read_log
[ "$log" = "$before" ] || fail "the log went on after Select com port"
shot select-stopped
stop_sim select

# ==== 5. Closing the window while a port opens, and while a device is calibrated ====
start_sim
open_list
pick_item 1
close_window
window_exits_0
shot closed-while-opening
stop_sim close-opening
grep -qx "EEPROM writes disabled" "$work/sim.close-opening" || fail "EEPROM left writable"

# The calibration after "Connected!" is short: the log is read without pause (the
# keyboard stays in it), and the run is repeated when the device was done first.
copy_log() {
  xdotool key --clearmodifiers ctrl+a ctrl+c
  log=$(timeout 20 xclip -o -selection clipboard 2> /dev/null) || log=''
  [ "$(count "Connected!")" -eq 1 ]
}
for attempt in 1 2 3; do
  start_sim
  start_window
  open_list
  pick_item 1
  read_log
  end=$((SECONDS + 120))
  until copy_log; do [ "$SECONDS" -lt "$end" ] || fail "no connection for the close test"; done
  close_window
  shot "calibrating-close-$attempt"
  landed=$([ "$(count "OK!")" -eq 0 ] && echo yes || echo no)
  echo "close request after: $(tail -n 2 <<< "$log" | tr "\n" "|")"
  window_exits_0
  stop_sim "close-calibrating-$attempt"
  grep -qx "EEPROM writes disabled" "$work/sim.close-calibrating-$attempt" ||
    fail "EEPROM left writable"
  for word in 0x21A8 0x21C2; do
    value=$(sed -n "s/^word $word = //p" "$work/sim.close-calibrating-$attempt")
    [ "$value" = 6419 ] || fail "$word not written whole by the device closed meanwhile: '$value'"
  done
  [ "$landed" = yes ] && break
  echo "note: attempt $attempt: the device was done before the close request"
done

echo "the window under Xvfb: all checks passed (screenshots in $shots)"
