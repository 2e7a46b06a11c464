#!/usr/bin/env bash
# kfftool.exe under wine: the same checks as the Linux kfftool.
set -euo pipefail
build=$(cd "${1:?Windows build directory}" && pwd)
export KFFTOOL="$build/wine-run.sh $build/tools/kfftool.exe"
exec bash "$(dirname "$0")/../e2e/kfftool.sh" "$build"
