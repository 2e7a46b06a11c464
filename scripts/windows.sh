#!/usr/bin/env bash
# The Windows build, cross compiled with Debian's MinGW-w64 and tested under wine.
#   scripts/windows.sh         Qt for Windows (first run only), then calibrator.exe,
#                              calibrator-cli.exe, kfftool.exe, the unit tests and the zip
#   scripts/windows.sh test    the same, then every Windows test under wine
#   scripts/windows.sh qt      Qt for Windows only
# Qt for Windows (Core, Gui, Widgets, Test; the Windows and offscreen platforms) is
# built as static libraries from the qt6-base source package of the Qt installed here
# (the host tools moc, rcc and uic must be of the same version). The source package is
# fetched by name with apt-get, from the machine's own package sources; the build is
# cached outside the clone, keyed by Qt version and build options, so every checkout
# and every CI run on this machine reuses it. The end-to-end checks need bxsim from the
# Linux build (./setup.sh first). ./setup.sh installs the packages this needs.
#   WIN_BUILD_DIR (build-win), HOST_BUILD_DIR (build),
#   WIN_QT_CACHE (${XDG_CACHE_HOME:-~/.cache}/kalmeon-calibrator)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
win_build=${WIN_BUILD_DIR:-build-win}
host_build=${HOST_BUILD_DIR:-build}
toolchain=$root/cmake/mingw-w64-x86_64.cmake
cache=${WIN_QT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kalmeon-calibrator}

qt_upstream=6.4.2+dfsg
qt_sha256=4f14b89a9463a540fd84a6718b8519a2297119b454ef547721015a9e9019ae9e

host_qt=$(dpkg-query -W -f='${Version}' qt6-base-dev 2> /dev/null || true)
case "$host_qt" in
  "$qt_upstream"-*) ;;
  *)
    echo "windows: the host Qt is '${host_qt:-missing}', this script builds Qt ${qt_upstream}." >&2
    echo "windows: run ./setup.sh first, or update qt_upstream and qt_sha256 here." >&2
    exit 1
    ;;
esac

# What Qt for Windows is built with; the cache folder's name carries its hash, so a
# change here builds a new Qt beside the old one.
qt_options=(
  -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DFEATURE_static_runtime=ON
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
  -DFEATURE_gui=ON -DFEATURE_widgets=ON -DFEATURE_testlib=ON
  -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_xml=OFF -DFEATURE_dbus=OFF
  -DFEATURE_concurrent=OFF -DFEATURE_printsupport=OFF -DFEATURE_icu=OFF
  -DFEATURE_opengl=OFF -DFEATURE_vulkan=OFF -DFEATURE_direct2d=OFF -DFEATURE_pdf=OFF
  # Debian's source package leaves out the tablet headers (wintab.h).
  -DFEATURE_tabletevent=OFF -DFEATURE_sessionmanager=OFF
  -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF -DFEATURE_ico=OFF
  # Qt's own copies: the offscreen platform draws text with FreeType on Windows.
  -DFEATURE_system_pcre2=OFF -DFEATURE_system_zlib=OFF
  -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_freetype=OFF
  -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_png=OFF
)
qt_key=$(printf '%s\n' "$qt_upstream" "${qt_options[@]}" | sha256sum | cut -c1-12)
qt_prefix=$cache/qt-windows-${qt_upstream}-${qt_key}

# Downloads the qt6-base source package by name into $1 with a private apt state whose
# source entries are the machine's own package sources, switched to source packages.
fetch_qt_sources() {
  local dir=$1 state=$1/apt
  mkdir -p "$state/lists/partial" "$state/parts" "$state/cache/archives/partial"
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] && sed -E 's/^Types:.*/Types: deb-src/' "$f" > "$state/parts/$(basename "$f")"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] && sed -nE 's/^deb[[:space:]]+/deb-src /p' "$f" >> "$state/parts/sources.list"
  done
  local apt=(apt-get -q -o "Dir::State=$state" -o Dir::State::status=/var/lib/dpkg/status
    -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$state/parts"
    -o "Dir::Cache=$state/cache" -o APT::Sandbox::User=root)
  "${apt[@]}" update > "$dir/apt-update.log"
  (cd "$dir" && "${apt[@]}" source --download-only "qt6-base=$host_qt") > "$dir/apt-source.log"
}

# Mends what Qt 6.4.2 gets wrong for this configuration (idempotent), both in the
# Windows platform plugin:
# - it asks a software-OpenGL question that needs OpenGL, with OpenGL configured out
#   (isSoftwareGl only tests dynamic OpenGL);
# - it uses the DirectWrite font database, which Qt Gui builds only with Direct2D.
patch_qt_sources() {
  local plugin=$1/src/plugins/platforms/windows
  sed -i 's/^#if QT_CONFIG(dynamicgl)$/#if QT_CONFIG(dynamicgl) \&\& QT_CONFIG(opengl)/' \
    "$plugin/qwindowswindow.cpp"
  sed -i 's/^#if QT_CONFIG(directwrite3)$/#if QT_CONFIG(directwrite3) \&\& QT_CONFIG(direct2d)/' \
    "$plugin/qwindowsintegration.cpp"
}

build_windows_qt() {
  [ -f "$qt_prefix/lib/cmake/Qt6Widgets/Qt6WidgetsConfig.cmake" ] && return 0
  echo "== Qt Core, Gui and Widgets ${qt_upstream} for Windows (once, into $qt_prefix)"
  local work=$qt_prefix.work
  # A build cut short resumes where it stopped; anything less starts again.
  if [ ! -f "$work/build/build.ninja" ]; then
    rm -rf "$work" && mkdir -p "$work/src"
    local tarball=$work/qt6-base_${qt_upstream}.orig.tar.xz
    fetch_qt_sources "$work"
    echo "$qt_sha256  $tarball" | sha256sum -c --quiet
    tar -xJf "$tarball" -C "$work/src" --strip-components=1
    rm -f "$tarball"
    patch_qt_sources "$work/src"
    cmake -S "$work/src" -B "$work/build" -G Ninja -Wno-dev \
      -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$qt_prefix" \
      -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
      "${qt_options[@]}" > "$work/configure.log" ||
      { tail -n 40 "$work/configure.log" >&2; rm -rf "$work/build"; exit 1; }
  fi
  cmake --build "$work/build" -j "$(nproc)" > "$work/build.log" ||
    { tail -n 40 "$work/build.log" >&2; exit 1; }
  cmake --install "$work/build" > "$work/install.log"
  rm -rf "$work"
}

build_windows_programs() {
  echo "== calibrator.exe, calibrator-cli.exe, kfftool.exe and the unit tests (into $win_build)"
  # A build folder configured against another Qt for Windows starts afresh (CMake keeps
  # the old Qt's folders in its cache).
  if [ -f "$win_build/CMakeCache.txt" ] &&
    ! grep -qxF "CMAKE_PREFIX_PATH:UNINITIALIZED=$qt_prefix" "$win_build/CMakeCache.txt"; then
    rm -rf "$win_build/CMakeCache.txt" "$win_build/CMakeFiles"
  fi
  cmake -S . -B "$win_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_PREFIX_PATH="$qt_prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_CXX_COMPILER_LAUNCHER="env;CCACHE_BASEDIR=$root;CCACHE_NOHASHDIR=true;ccache" \
    -DCALIB_WITH_WIDGETS=ON -DCALIB_BUILD_BENCH=OFF -DCALIB_HOST_BUILD_DIR="$root/$host_build"
  cmake --build "$win_build" -j "$(nproc)"
}

# The build's own wine prefix, made without questions (no Mono or Gecko installers).
prepare_wine_prefix() {
  echo "== wine prefix ($win_build/wineprefix)"
  "$win_build/wine-run.sh" cmd /c exit 0
}

build_windows_qt
[ "${1:-}" = qt ] && exit 0
build_windows_programs
echo "== The zip for Windows users"
(cd "$win_build" && rm -f kalmeon-calibrator-*-win64.zip && cpack -G ZIP > cpack.log) ||
  { cat "$win_build/cpack.log" >&2; exit 1; }
prepare_wine_prefix
if [ "${1:-}" = test ]; then
  echo "== The Windows tests under wine"
  ctest --test-dir "$win_build" --output-on-failure -j 2
fi
