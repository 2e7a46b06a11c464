#!/usr/bin/env bash
# Installs every Debian package the build and the tests need, then configures and
# builds into ./build. Quick when everything is already there.
#   ./setup.sh              install, configure, build (Release with debug info)
#   BUILD_DIR=b ./setup.sh  another build folder; CMAKE_ARGS="..." adds configure options,
#                           CALIB_CXX_FLAGS="..." sets the compiler flags (sanitizers)
# The Windows build (Qt Core for Windows, the programs, the wine prefix) is set up by
# scripts/windows.sh, with the packages installed here.
set -euo pipefail
cd "$(dirname "$0")"

packages=(
  build-essential cmake ninja-build pkg-config ccache
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
  libgtest-dev libgmock-dev googletest
  clang libclang-rt-dev
  # the naming check (scripts/check_naming.sh)
  clang-tidy
  python3 file dpkg-dev
  # Debian's package checker, run on the .deb by tests/e2e/package.sh
  lintian
  # the window's end-to-end test in a real X server (tests/e2e/window_xvfb.sh)
  xvfb xdotool xclip imagemagick
  # font files for the offscreen widget tests of the Windows build under wine
  fonts-dejavu-core
  # the Windows build (scripts/windows.sh): MinGW-w64, wine, Qt's sources
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine wine64 xz-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

BUILD_DIR=${BUILD_DIR:-build}
BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo}
# Compiler cache outside the clone, shared by every checkout of the project on this
# machine: paths are taken relative to the checkout, so a fresh clone (CI) hits it.
# shellcheck disable=SC2086
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE="$BUILD_TYPE" \
  -DCMAKE_CXX_COMPILER_LAUNCHER="env;CCACHE_BASEDIR=$PWD;CCACHE_NOHASHDIR=true;ccache" \
  -DCMAKE_CXX_FLAGS="${CALIB_CXX_FLAGS:-}" ${CMAKE_ARGS:-}
# CALIB_TARGETS limits the build to some targets (the sanitizer runs of CI).
# shellcheck disable=SC2086
cmake --build "$BUILD_DIR" -j "$(nproc)" ${CALIB_TARGETS:+--target $CALIB_TARGETS}
