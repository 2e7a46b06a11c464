#!/usr/bin/env bash
# The Windows build, cross compiled with Debian's MinGW-w64 and tested under wine.
#   scripts/windows.sh         Qt Core for Windows (first run only), then the core,
#                              calibrator-cli.exe, kfftool.exe and the unit tests
#   scripts/windows.sh test    the same, then every Windows test under wine
# Qt Core for Windows is built from the qt6-base sources Debian ships for the Qt
# installed here (the host tools moc and rcc must be of the same version), as a
# static library: Core only, no GUI. The end-to-end check needs bxsim from the
# Linux build (./setup.sh first). ./setup.sh installs the packages this needs.
#   WIN_BUILD_DIR (build-win), WIN_QT_DIR (build-winqt), HOST_BUILD_DIR (build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
win_build=${WIN_BUILD_DIR:-build-win}
qt_dir=${WIN_QT_DIR:-build-winqt}
host_build=${HOST_BUILD_DIR:-build}
toolchain=$root/cmake/mingw-w64-x86_64.cmake

qt_upstream=6.4.2+dfsg
qt_sha256=4f14b89a9463a540fd84a6718b8519a2297119b454ef547721015a9e9019ae9e
qt_url=http://deb.debian.org/debian/pool/main/q/qt6-base/qt6-base_${qt_upstream}.orig.tar.xz

host_qt=$(dpkg-query -W -f='${Version}' qt6-base-dev 2> /dev/null || true)
case "$host_qt" in
  "$qt_upstream"-*) ;;
  *)
    echo "windows: the host Qt is '${host_qt:-missing}', this script builds Qt ${qt_upstream}." >&2
    echo "windows: run ./setup.sh first, or update qt_upstream and qt_sha256 here." >&2
    exit 1
    ;;
esac

build_windows_qt() {
  local prefix=$qt_dir/prefix
  [ -f "$prefix/lib/cmake/Qt6Core/Qt6CoreConfig.cmake" ] && return 0
  echo "== Qt Core ${qt_upstream} for Windows (once, into $qt_dir)"
  mkdir -p "$qt_dir"
  local tarball=$qt_dir/qt6-base_${qt_upstream}.orig.tar.xz
  if ! echo "$qt_sha256  $tarball" | sha256sum -c --status 2> /dev/null; then
    curl -fsSL --retry 3 -o "$tarball" "$qt_url"
    echo "$qt_sha256  $tarball" | sha256sum -c --quiet
  fi
  rm -rf "$qt_dir/src" "$qt_dir/build"
  mkdir -p "$qt_dir/src"
  tar -xJf "$tarball" -C "$qt_dir/src" --strip-components=1
  cmake -S "$qt_dir/src" -B "$qt_dir/build" -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$root/$prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DBUILD_SHARED_LIBS=OFF -DFEATURE_static_runtime=ON \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
    -DFEATURE_gui=OFF -DFEATURE_widgets=OFF -DFEATURE_network=OFF -DFEATURE_sql=OFF \
    -DFEATURE_testlib=OFF -DFEATURE_xml=OFF -DFEATURE_dbus=OFF -DFEATURE_concurrent=OFF \
    -DFEATURE_printsupport=OFF -DFEATURE_icu=OFF -DFEATURE_system_pcre2=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_doubleconversion=OFF > "$qt_dir/configure.log"
  cmake --build "$qt_dir/build" -j "$(nproc)"
  cmake --install "$qt_dir/build" > "$qt_dir/install.log"
  rm -rf "$qt_dir/src" "$qt_dir/build"
}

build_windows_programs() {
  echo "== calibrator-cli.exe, kfftool.exe and the unit tests (into $win_build)"
  cmake -S . -B "$win_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_PREFIX_PATH="$root/$qt_dir/prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCALIB_WITH_WIDGETS=OFF -DCALIB_BUILD_BENCH=OFF \
    -DCALIB_HOST_BUILD_DIR="$root/$host_build"
  cmake --build "$win_build" -j "$(nproc)"
}

# The build's own wine prefix, made without questions (no Mono or Gecko installers).
prepare_wine_prefix() {
  echo "== wine prefix ($win_build/wineprefix)"
  "$win_build/wine-run.sh" cmd /c exit 0
}

build_windows_qt
build_windows_programs
prepare_wine_prefix
if [ "${1:-}" = test ]; then
  echo "== The Windows tests under wine"
  ctest --test-dir "$win_build" --output-on-failure -j 2
fi
