# Shared by the window's end-to-end scripts (the Linux window, and calibrator.exe under
# wine): an X server of their own, and the window driven as a person does: the mouse
# and the keyboard through xdotool, the log read by select all, copy and the clipboard
# (xclip), a screenshot of every step. Sourced after `work` (a temporary folder) and
# `shots` (the screenshot folder) are set; the script starts the program itself and
# sets `guipid`. Where the window system's windows do not carry the program's process
# number (wine), the script sets `window_class` to the windows' class instead.
xwindow_lib=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=wait.bash
source "$xwindow_lib/wait.bash"
wait_step=0.2 # a check here is often a read of the log through the clipboard
for tool in Xvfb xdotool xclip import convert python3; do
  command -v "$tool" > /dev/null || { echo "FAIL: $tool is missing (setup.sh installs it)"; exit 1; }
done
rm -rf "$shots"
mkdir -p "$shots"
xpid='' guipid='' log='' window_class=''

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

# The X server, on the first free display (it writes the number it took).
start_x_server() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3> "$work/display" 2> "$work/xvfb.err" &
  xpid=$!
  wait_for 60 test -s "$work/display" || { cat "$work/xvfb.err"; fail "Xvfb did not start"; }
  export DISPLAY=:$(head -n 1 "$work/display")
  echo "X server on $DISPLAY; screenshots in $shots"
}

# The program's visible windows.
program_windows() {
  if [ -n "$window_class" ]; then
    xdotool search --onlyvisible --class "$window_class" 2> /dev/null
  else
    xdotool search --onlyvisible --pid "$guipid" --class '' 2> /dev/null
  fi
}
# Waits for the main window (by its caption) after the program started; sets wid and
# X Y WIDTH HEIGHT, and gives it the keyboard.
find_main_window() {
  local end=$((SECONDS + 180)) w
  wid=''
  while [ -z "$wid" ] && [ "$SECONDS" -lt "$end" ]; do
    for w in $(xdotool search --onlyvisible --name 'Calibration for 0A8-0AF' 2> /dev/null); do
      program_windows | grep -qx "$w" && wid=$w && break
    done
    [ -n "$wid" ] || sleep 0.5
  done
  [ -n "$wid" ] || fail "the window did not appear"
  eval "$(xdotool getwindowgeometry --shell "$wid")" # X Y WIDTH HEIGHT of the window
  xdotool windowfocus --sync "$wid" 2> /dev/null || xdotool windowactivate "$wid" 2> /dev/null || true
}

# Asks the window to close, as a window manager's close button does.
close_window() { python3 "$xwindow_lib/../window_close_request.py" "$wid"; }
# The window's program ended: its exit status must be 0.
window_exits_0() {
  local status=0
  wait_for 120 test ! -d "/proc/$guipid" -o -n "$(awk '$3 == "Z"' "/proc/$guipid/stat" 2> /dev/null)" ||
    fail "the window did not end after its close"
  wait "$guipid" || status=$?
  guipid=''
  [ "$status" -eq 0 ] || fail "the window ended with status $status"
}

# Reads the log as a person copies it: a click into it, Ctrl+A, Ctrl+C, the clipboard.
read_log() {
  move_pointer $((X + WIDTH / 2)) $((Y + HEIGHT / 2))
  xdotool click 1
  copy_log_text
}
# Moves the pointer and waits until it is there. (xdotool's --sync waits for the pointer
# to leave where it was: some 15 s in vain when it is there already.)
move_pointer() {
  [ "$(xdotool getmouselocation | cut -d ' ' -f 1,2)" = "x:$1 y:$2" ] ||
    xdotool mousemove --sync "$1" "$2"
}
copy_log_text() {
  xdotool key --clearmodifiers ctrl+a ctrl+c
  log=$(timeout 20 xclip -o -selection clipboard 2> /dev/null | tr -d '\r') || log=''
}
count() { grep -cxF -- "$1" <<< "$log" || true; }
# Ends the selection that reading the log left (for a screenshot).
deselect_log() { xdotool key --clearmodifiers ctrl+End; }
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

# Picks "Com 1" from the list with the mouse; the log must end the device with "OK!".
calibrate_com1_from_list() {
  open_list
  shot list-dropped-down
  pick_item 1
  wait_for 120 log_count_is "Trying to connect at COM1" 1 || fail "no connection at COM1"
  shot after-pick
  wait_for 240 device_done_ok 1 || fail "the log did not end the device with OK!"
  shot calibrated
  grep -qx "Software version: 2606207" <<< "$log" || fail "no version line"
}
# bxsim's report FILE: both words hold 6419 and the EEPROM writes ended disabled.
words_stored() {
  grep -qx "word 0x21A8 = 6419" "$1" || fail "bxsim: 0x21A8 not 6419"
  grep -qx "word 0x21C2 = 6419" "$1" || fail "bxsim: 0x21C2 not 6419"
  grep -qx "EEPROM writes disabled" "$1" || fail "bxsim: EEPROM left writable"
}

# ---- the port list ----
# Drops the list down with a click on it (below the menu bar) and finds the list's
# window (popup geometry).
open_list() {
  xdotool mousemove --sync $((X + 30)) $((Y + 38)) click 1
  wait_for 30 find_popup || fail "the list did not drop down"
}
# (The largest of the program's other windows narrower than the main one: the search
# also finds a screen-sized window, and a tooltip may be shown.)
find_popup() {
  local w area best=0
  popup=''
  for w in $(program_windows); do
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
list_closed() { ! program_windows | grep -qx "$popup"; }
