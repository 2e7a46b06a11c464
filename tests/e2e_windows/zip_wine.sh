#!/usr/bin/env bash
# The zip for Windows users: exactly the three programs and README-Windows.txt, each
# program starting from the unpacked folder under wine as a user would start it.
set -euo pipefail
build=$(cd "${1:?Windows build directory}" && pwd)
wine=$build/wine-run.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

shopt -s nullglob
zips=("$build"/kalmeon-calibrator-*-windows-x64.zip)
[ ${#zips[@]} -eq 1 ] || fail "expected one zip in $build, found ${#zips[@]} (scripts/windows.sh makes it)"
listing=$(cd "$work" && cmake -E tar tf "${zips[0]}" | sort)
expected=$(printf '%s\n' README-Windows.txt calibrator-cli.exe calibrator.exe kfftool.exe)
[ "$listing" = "$expected" ] || fail "zip holds:"$'\n'"$listing"
(cd "$work" && cmake -E tar xf "${zips[0]}")

grep -q "calibrator-cli.exe --port COM3" "$work/README-Windows.txt" ||
  fail "README-Windows.txt does not show the console with a COM port"

"$wine" "$work/calibrator-cli.exe" --help > "$work/cli.out" 2>&1 || fail "calibrator-cli.exe --help failed"
grep -q -- "--port COM" "$work/cli.out" || fail "calibrator-cli.exe --help names no COM port: $(cat "$work/cli.out")"

status=0
"$wine" "$work/kfftool.exe" > "$work/kff.out" 2>&1 || status=$?
[ "$status" -eq 2 ] && grep -q "usage: kfftool info FILE" "$work/kff.out" ||
  fail "kfftool.exe without arguments: status $status, $(cat "$work/kff.out")"

QT_QPA_PLATFORM=offscreen "$wine" "$work/calibrator.exe" --version > "$work/gui.out" 2>&1 ||
  fail "calibrator.exe --version failed: $(cat "$work/gui.out")"
grep -q "9007119.4" "$work/gui.out" || fail "calibrator.exe --version: $(cat "$work/gui.out")"
echo "zip: $(basename "${zips[0]}") holds the three programs and the guide; each starts under wine"
