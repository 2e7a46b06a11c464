#!/usr/bin/env bash
# Builds every libFuzzer target with clang and runs each for a while on its seed corpus.
#   scripts/run_fuzz.sh [SECONDS_PER_TARGET] [BUILD_DIR]
# Defaults: 60 seconds, build-fuzz next to the sources. A crash leaves its input as
# crash-* / leak-* / timeout-* in BUILD_DIR/fuzz-findings/<target>/; the script then
# prints the input and exits 1.
set -uo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=${1:-60}
BUILD_DIR=${2:-build-fuzz}
JOBS=${JOBS:-2}

if ! command -v clang++ >/dev/null; then
  echo "run_fuzz: clang++ is missing (apt-get install clang libclang-rt-dev)" >&2
  exit 2
fi

# Warnings are not errors here: a clang-only warning must not keep the fuzzers from running
# (the regular gcc build still treats them as errors).
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
CXX=clang++ cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" \
  -DCALIB_WERROR=OFF -DCALIB_BUILD_FUZZ=ON -DCALIB_BUILD_TESTS=OFF -DCALIB_BUILD_BENCH=OFF \
  -DCALIB_WITH_WIDGETS=OFF >/dev/null || exit 2

targets=()
for src in fuzz/*.cpp; do
  targets+=("fuzz_$(basename "$src" .cpp)")
done
if [ ${#targets[@]} -eq 0 ]; then
  echo "run_fuzz: no fuzz targets in fuzz/"
  exit 0
fi
mkdir -p "$BUILD_DIR"
echo "run_fuzz: building ${#targets[@]} targets in $BUILD_DIR"
if ! cmake --build "$BUILD_DIR" -j "$JOBS" --target "${targets[@]}" >"$BUILD_DIR/fuzz-build.log" 2>&1; then
  grep -E -A8 'error|FAILED' "$BUILD_DIR/fuzz-build.log" | head -n 60
  echo "run_fuzz: build failed (full log: $BUILD_DIR/fuzz-build.log)" >&2
  exit 2
fi
grep -E 'warning:' "$BUILD_DIR/fuzz-build.log" | sort -u | sed 's/^/run_fuzz: /' | head -n 20

failed=()
for target in "${targets[@]}"; do
  name=${target#fuzz_}
  findings="$BUILD_DIR/fuzz-findings/$name"
  work="$BUILD_DIR/fuzz-corpus/$name"  # grows; the seed corpus in the tree stays as it is
  mkdir -p "$findings" "$work"
  corpora=("$work")
  [ -d "fuzz/corpus/$name" ] && corpora+=("fuzz/corpus/$name")
  # Inputs large enough to reach the firmware reader's count and size checks.
  max_len=65536
  case $name in kff_*) max_len=1048576 ;; esac
  echo "== $target: ${SECONDS_PER_TARGET}s, corpus ${corpora[*]}"
  if "$BUILD_DIR/fuzz/$target" -max_total_time="$SECONDS_PER_TARGET" -print_final_stats=1 \
    -max_len="$max_len" \
    -artifact_prefix="$findings/" "${corpora[@]}" >"$findings/run.log" 2>&1; then
    grep -E '^stat::(number_of_executed_units|new_units_added)' "$findings/run.log" | sed 's/^/   /'
  else
    failed+=("$target")
    echo "   FAILED; last lines of $findings/run.log:"
    tail -n 25 "$findings/run.log" | sed 's/^/   | /'
    for input in "$findings"/crash-* "$findings"/leak-* "$findings"/timeout-* "$findings"/oom-*; do
      [ -e "$input" ] || continue
      echo "   input $input:"
      od -A x -t x1z -v "$input" | head -n 16 | sed 's/^/     /'
    done
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "run_fuzz: findings in ${failed[*]}"
  exit 1
fi
echo "run_fuzz: ${#targets[@]} targets, no findings"
