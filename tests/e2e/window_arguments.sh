#!/usr/bin/env bash
# calibrator's command line: --help and a bad option are answered without a window
# (no display is given, so a window could not open and the program would fail).
set -euo pipefail
build=${1:?build directory}
gui=$build/app/calibrator
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; cat "$work/out" "$work/err" 2>/dev/null; exit 1; }
unset DISPLAY WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb

status=0
"$gui" --help > "$work/out" 2> "$work/err" || status=$?
[ $status -eq 0 ] || fail "--help ended with $status"
grep -q "^Usage: calibrator" "$work/out" || fail "--help printed no usage"
grep -q -- "--version" "$work/out" || fail "--help does not name --version"

for bad in --bogus stray; do
  status=0
  "$gui" "$bad" > "$work/out" 2> "$work/err" || status=$?
  [ $status -eq 4 ] || fail "$bad ended with $status, not 4"
  [ "$(wc -l < "$work/err")" -eq 1 ] || fail "$bad: not one line on standard error"
  grep -q -- "$bad" "$work/err" || fail "$bad: the line does not name it"
  [ ! -s "$work/out" ] || fail "$bad: printed on standard output"
done
echo "window arguments: ok"
