#!/usr/bin/env bash
# kfftool as a user runs it: unpack the embedded interface image's source, pack it
# again byte for byte, and clear errors with exit statuses for bad files.
set -euo pipefail
build=${1:?build directory}
# KFFTOOL may name another way to run it (the Windows build under wine).
read -r -a tool <<< "${KFFTOOL:-$build/tools/kfftool}"
src=$(cd "$(dirname "$0")/../.." && pwd)/firmware/bx2image/bx2image.txt
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"${tool[@]}" pack "$src" "$work/image.kff" || fail "pack"
[ "$(stat -c %s "$work/image.kff")" -eq 7632 ] || fail "image is not 7632 bytes"
"${tool[@]}" info "$work/image.kff" > "$work/info" || fail "info"
grep -q "1130132" "$work/info" || fail "info does not show the version"
"${tool[@]}" unpack "$work/image.kff" "$work/unpacked" || fail "unpack"
desc=$(ls "$work"/unpacked/* | head -n 1)
"${tool[@]}" pack "$desc" "$work/again.kff" || fail "pack of the unpacked description"
cmp -s "$work/image.kff" "$work/again.kff" || fail "round trip changed the file"

# One changed byte in a line record, a truncated file, and noise all fail cleanly.
cp "$work/image.kff" "$work/bad.kff"
printf '\x5a' | dd of="$work/bad.kff" bs=1 seek=4000 conv=notrunc status=none
head -c 3000 "$work/image.kff" > "$work/short.kff"
head -c 5000 /dev/urandom > "$work/noise.kff"
for f in bad short noise; do
  set +e
  "${tool[@]}" info "$work/$f.kff" > "$work/out" 2>&1
  status=$?
  set -e
  [ "$status" -eq 1 ] || fail "$f.kff gave exit $status, not 1"
done
# Bad usage: 4 with "Try --help.", as in the other programs.
for args in "frobnicate" "info" "info|" "pack|$src" "info|a|b"; do
  IFS='|' read -r -a words <<< "$args"
  [ "${args: -1}" = "|" ] && words+=("")
  set +e; "${tool[@]}" "${words[@]}" > /dev/null 2> "$work/err"; usage=$?; set -e
  [ "$usage" -eq 4 ] || fail "kfftool ${words[*]} gave exit $usage, not 4"
  grep -q "Try --help." "$work/err" || fail "kfftool ${words[*]}: no Try --help."
done
echo "kfftool: all checks passed"
