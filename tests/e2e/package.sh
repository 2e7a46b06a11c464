#!/usr/bin/env bash
# Builds the Debian package from the build folder ($1) and checks what it installs:
# the programs, the desktop entry, the icon, and the platform-plugin dependency; and
# that Debian's own package checker (lintian) finds no error in it.
set -euo pipefail
BUILD_DIR=$(cd "$1" && pwd)

for tool in cpack dpkg-deb lintian; do
  if ! command -v "$tool" >/dev/null; then
    echo "package: $tool is missing" >&2
    exit 1
  fi
done

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# A separate package folder, so that this never leaves files in the build folder.
if ! cpack -G DEB --config "$BUILD_DIR/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
  cat "$out/cpack.log" >&2
  exit 1
fi
shopt -s nullglob
debs=("$out"/*.deb)
if [ ${#debs[@]} -ne 1 ]; then
  echo "package: expected one .deb, found ${#debs[@]}" >&2
  cat "$out/cpack.log" >&2
  exit 1
fi
deb=${debs[0]}
contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')

failures=0
expect() {
  if ! grep -qx "$1" <<<"$contents"; then
    echo "package: missing $1" >&2
    failures=$((failures + 1))
  fi
}
expect ./usr/bin/calibrator-cli
expect ./usr/bin/bxsim
expect ./usr/bin/kfftool
if [ -f "$BUILD_DIR/app/calibrator" ]; then
  expect ./usr/bin/calibrator
  expect ./usr/share/applications/calibrator.desktop
  expect ./usr/share/icons/hicolor/scalable/apps/calibrator.svg
fi
expect ./usr/share/doc/kalmeon-calibrator/examples/60-calibrator-serial.rules
expect ./usr/share/doc/kalmeon-calibrator/copyright
expect ./usr/share/doc/kalmeon-calibrator/changelog.gz
for program in calibrator-cli bxsim kfftool; do expect ./usr/share/man/man1/$program.1.gz; done
[ -f "$BUILD_DIR/app/calibrator" ] && expect ./usr/share/man/man1/calibrator.1.gz
expect ./usr/share/bash-completion/completions/calibrator-cli

# Run-time dependencies are worked out from the binaries, plus the platform plugins.
depends=$(dpkg-deb -f "$deb" Depends)
for dep in libqt6core6 libc6 libstdc++6; do
  if ! grep -q "$dep" <<<"$depends"; then
    echo "package: Depends lacks $dep: $depends" >&2
    failures=$((failures + 1))
  fi
done
if [ -f "$BUILD_DIR/app/calibrator" ] && ! grep -q "qt6-qpa-plugins" <<<"$depends"; then
  echo "package: Depends lacks qt6-qpa-plugins: $depends" >&2
  failures=$((failures + 1))
fi

# The desktop entry starts the installed window program.
if dpkg-deb -x "$deb" "$out/root" && [ -f "$out/root/usr/share/applications/calibrator.desktop" ]; then
  grep -qx 'Exec=calibrator' "$out/root/usr/share/applications/calibrator.desktop" ||
    { echo "package: desktop entry does not start calibrator" >&2; failures=$((failures + 1)); }
  # A menu shows the name: it says what the program does, not the window's caption.
  grep -qx 'Name=Calibration for 0A8-0AF' "$out/root/usr/share/applications/calibrator.desktop" &&
    { echo "package: desktop entry named by the window caption" >&2; failures=$((failures + 1)); }
fi

# The window carries no simulator: only the console program serves "--port sim".
if [ -f "$out/root/usr/bin/calibrator" ] && nm -C "$BUILD_DIR/app/calibrator" 2>/dev/null |
  grep -q ' TSimulation::'; then
  echo "package: the window program carries the simulator" >&2
  failures=$((failures + 1))
fi
# The man page states the exit-status contract; the completion offers the options,
# and the identifier names from the installed program.
root=$out/root
if [ -f "$root/usr/share/man/man1/calibrator-cli.1.gz" ]; then
  for status in 0 1 2 3 4 5; do
    zgrep -q "^\.B $status\$" "$root/usr/share/man/man1/calibrator-cli.1.gz" ||
      { echo "package: man page lacks exit status $status" >&2; failures=$((failures + 1)); }
  done
  if command -v man >/dev/null; then
    man -l "$root/usr/share/man/man1/calibrator-cli.1.gz" 2>/dev/null | grep -q "EXIT STATUS" ||
      { echo "package: man page does not render" >&2; failures=$((failures + 1)); }
  fi
fi
complete_words() {
  PATH="$root/usr/bin:$PATH" bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    _calibrator_cli; printf "%s\n" "${COMPREPLY[@]}"' _ \
    "$root/usr/share/bash-completion/completions/calibrator-cli" "$@"
}
if [ -f "$root/usr/share/bash-completion/completions/calibrator-cli" ]; then
  complete_words calibrator-cli --ver | grep -qx -- --version ||
    { echo "package: completion lacks --version" >&2; failures=$((failures + 1)); }
  complete_words calibrator-cli --get eestIBatB | grep -qx eestIBatBulk ||
    { echo "package: completion lacks identifier names" >&2; failures=$((failures + 1)); }
  complete_words calibrator-cli --port s | grep -qx sim ||
    { echo "package: completion lacks ports" >&2; failures=$((failures + 1)); }
fi

# Errors fail; warnings are shown (the report of the package names why each stays).
if ! lintian --fail-on error --tag-display-limit 0 "$deb" >"$out/lintian.log" 2>&1; then
  echo "package: lintian reports errors:" >&2
  failures=$((failures + 1))
fi
cat "$out/lintian.log" >&2

if [ $failures -ne 0 ]; then
  echo "package: $failures problem(s) in $(basename "$deb"):" >&2
  dpkg-deb -c "$deb" >&2
  exit 1
fi
echo "package: $(basename "$deb") ok"
