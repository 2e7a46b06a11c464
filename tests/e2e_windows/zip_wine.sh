#!/usr/bin/env bash
# The zip for Windows users (made by scripts/windows.sh with cpack): exactly the three
# programs and the guide; each program, unpacked on its own, starts under wine.
set -euo pipefail
build=$(cd "${1:?Windows build directory}" && pwd)
wine=$build/wine-run.sh
work=$(mktemp -d)
trap 'kill $guipid 2> /dev/null || true; rm -rf "$work"' EXIT
guipid=''
fail() { echo "FAIL: $*"; cat "$work/out" 2> /dev/null || true; exit 1; }

shopt -s nullglob
zips=("$build"/kalmeon-calibrator-*-win64.zip)
[ ${#zips[@]} -eq 1 ] || fail "not one zip in $build: ${zips[*]:-none}"
python3 -m zipfile -l "${zips[0]}" | awk 'NR > 1 { print $1 }' | sort > "$work/contents"
printf '%s\n' README-Windows.txt calibrator-cli.exe calibrator.exe kfftool.exe |
  sed "s|^|$(basename "${zips[0]}" .zip)/|" | sort > "$work/wanted"
diff "$work/wanted" "$work/contents" > "$work/out" || fail "the zip holds other files than wanted"
python3 -m zipfile -e "${zips[0]}" "$work/unpacked"
dir=$work/unpacked/$(basename "${zips[0]}" .zip)

grep -q "Picking the COM port" "$dir/README-Windows.txt" || fail "README-Windows.txt without the port section"
"$wine" "$dir/calibrator-cli.exe" --help > "$work/out" 2>&1 || fail "calibrator-cli.exe --help"
grep -q -- "--port PORT      a COM number" "$work/out" || fail "calibrator-cli.exe --help: no COM port"
"$wine" "$dir/kfftool.exe" --help > "$work/out" 2>&1 || fail "kfftool.exe --help"
grep -qi "usage" "$work/out" || fail "kfftool.exe --help printed no usage"
"$wine" "$dir/calibrator.exe" --version > "$work/out" 2>&1 || fail "calibrator.exe --version"
grep -q "calibrator" "$work/out" || fail "calibrator.exe --version printed no version"

# The window starts (offscreen: no desktop needed) and keeps running until ended.
QT_QPA_PLATFORM=offscreen "$wine" "$dir/calibrator.exe" > "$work/out" 2>&1 &
guipid=$!
sleep 10
kill -0 "$guipid" 2> /dev/null || fail "calibrator.exe ended by itself"
echo "the zip for Windows: contents as wanted, every program starts under wine"
