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
status_of() { set +e; "$@" > "$work/out" 2>&1; status=$?; set -e; }
# FIFOs, devices, a full device and symbolic links are Linux paths: under wine a
# Windows program sees them through its Z: drive, not as what they are.
if [ -z "${KFFTOOL:-}" ]; then
# A FIFO, a device or a folder is refused at once (exit 4), never read until memory
# runs out or waited on for good.
mkfifo "$work/fifo"
for input in "$work/fifo" /dev/zero "$work"; do
  status_of timeout 20 "${tool[@]}" info "$input"
  [ "$status" -eq 4 ] || fail "info $input gave exit $status, not 4"
done
status_of timeout 20 "${tool[@]}" pack "$src" "$work/fifo"
[ "$status" -eq 4 ] || fail "pack onto a FIFO gave exit $status, not 4"
fi

# A file larger than any firmware file is refused before it is read: a sound version 0
# file grown to 200 MB with zero lines (which keep its checksum) once loaded as 2.7
# million lines.
printf 'version 0\npart Main\nconfig "x"\n' > "$work/v0.txt"
for word in data data data data code; do
  echo "$word hex:$(printf '%0148d' 7)" >> "$work/v0.txt"
done
"${tool[@]}" pack "$work/v0.txt" "$work/v0.kff" > /dev/null || fail "pack of a version 0 file"
cp "$work/v0.kff" "$work/huge.kff"
truncate -s $(($(stat -c %s "$work/v0.kff") + 74 * 2700000)) "$work/huge.kff"
status_of timeout 20 "${tool[@]}" info "$work/huge.kff"
[ "$status" -eq 1 ] || fail "a 200 MB file gave exit $status, not 1"
grep -q "larger than" "$work/out" || fail "a 200 MB file was not refused for its size"

# pack refuses what the reader refuses, with the reader's message: a part with no
# lines, a NUL inside a descriptor entry.
printf 'version 4\npart Main\n' > "$work/empty.txt"
printf 'version 4\npart Main\nkey "A=\\x00B"\ncode x\n' > "$work/nul.txt"
for d in empty nul; do
  status_of "${tool[@]}" pack "$work/$d.txt" "$work/$d.kff"
  [ "$status" -eq 1 ] || fail "pack of $d.txt gave exit $status, not 1"
  [ ! -e "$work/$d.kff" ] || fail "pack of $d.txt left a file"
done
grep -q "File possibly corrupted!" <(  "${tool[@]}" pack "$work/empty.txt" "$work/e.kff" 2>&1 ) ||
  fail "pack of a part without lines does not give the reader's message"

if [ -z "${KFFTOOL:-}" ]; then
# Output that is not written is a failure, and the old output stays: standard output
# on a full device, a write cut short by the file size limit (a full disk).
status_of bash -c '"$@" > /dev/full' _ "${tool[@]}" info "$work/image.kff"
[ "$status" -eq 1 ] || fail "info into /dev/full gave exit $status, not 1"
cp "$work/image.kff" "$work/old.kff"
cp "$work/v0.kff" "$work/kept.kff"
status_of bash -c 'trap "" XFSZ; ulimit -f 4; "$@"' _ "${tool[@]}" pack "$src" "$work/kept.kff"
[ "$status" -eq 1 ] || fail "pack onto a full disk gave exit $status, not 1"
cmp -s "$work/v0.kff" "$work/kept.kff" || fail "a failed pack changed the old output"
[ -z "$(ls -A "$work" | grep '^\.kept')" ] || fail "a failed pack left its temporary file"
status_of "${tool[@]}" pack "$src" /dev/full
[ "$status" -eq 4 ] || fail "pack onto /dev/full gave exit $status, not 4"

# unpack does not follow a symbolic link planted at DIR/description.txt.
mkdir -p "$work/planted"
echo "keep me" > "$work/victim"
ln -s "$work/victim" "$work/planted/description.txt"
"${tool[@]}" unpack "$work/image.kff" "$work/planted" > /dev/null || fail "unpack over a link"
[ "$(cat "$work/victim")" = "keep me" ] || fail "unpack wrote through a planted link"
[ ! -L "$work/planted/description.txt" ] || fail "the planted link is still there"
fi

# Control characters in a descriptor reach the terminal escaped.
printf 'version 4\npart Main\nkey "Note=\\x1b[31mred"\ncode x\n' > "$work/esc.txt"
"${tool[@]}" pack "$work/esc.txt" "$work/esc.kff" > /dev/null || fail "pack of esc.txt"
"${tool[@]}" info "$work/esc.kff" > "$work/out" || fail "info of esc.kff"
grep -q $'\x1b' "$work/out" && fail "an escape character reached the terminal raw"
grep -qF 'key Note=\x1b[31mred' "$work/out" || fail "the escape character is not shown escaped"

echo "kfftool: all checks passed"
