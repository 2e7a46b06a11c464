#!/usr/bin/env bash
# Runs every benchmark program (bench_<name> in BUILD_DIR/bench) and prints one table.
#   scripts/run_benchmarks.sh [BUILD_DIR]        (default: build)
# A benchmark reports a figure on a line of its own:
#   RESULT <name> <value> <unit> <goal> <ratio>
# e.g. "RESULT bx2_round_trip_mean 31.2 ms <=40 0.78"; <goal> and <ratio> may be "-".
# Such lines go into the table; anything else a benchmark prints is shown as it is.
# Free text that names a ratio ("... ratio 1.099", "worst ratio 1.100 (goal at most
# 1.15)") also gives a table row, with its goal where the line states one.
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
BENCH_DIR="$BUILD_DIR/bench"

if [ ! -d "$BENCH_DIR" ]; then
  echo "run_benchmarks: $BENCH_DIR not found; build first (cmake --build $BUILD_DIR)" >&2
  exit 2
fi

# A table row from a free-text line that states a ratio; nothing for other lines.
ratio_row() {
  awk -v bench="$1" '
    match($0, /ratio[^0-9]*[0-9]+(\.[0-9]+)?/) {
      value = substr($0, RSTART, RLENGTH); words = value
      sub(/^ratio[^0-9]*/, "", value); sub(/^ratio */, "", words); sub(/ *[0-9.]+$/, "", words)
      # The figure is named by the text before its first colon or comma, or else
      # by the words between "ratio" and the number.
      label = substr($0, 1, RSTART - 1); sub(/[:,].*/, "", label); gsub(/^ +| +$/, "", label)
      if (label == "") label = words
      gsub(/[ \/]+/, "_", label); if (label == "") label = "ratio"
      goal = "-"; share = "-"
      if (match($0, /goal at most [0-9.]+/)) {
        limit = substr($0, RSTART + 13, RLENGTH - 13); goal = "<=" limit
        share = sprintf("%.2f", value / limit)
      } else if (match($0, /goal at least [0-9.]+/)) {
        limit = substr($0, RSTART + 14, RLENGTH - 14); goal = ">=" limit
        share = sprintf("%.2f", value / limit)
      }
      printf "%s %s %s ratio %s %s\n", bench, substr(label, 1, 32), value, goal, share
    }' <<<"$2"
}

results=$(mktemp)
trap 'rm -f "$results"' EXIT
status=0
found=0
for program in "$BENCH_DIR"/bench_*; do
  [ -x "$program" ] && [ -f "$program" ] || continue
  found=1
  name=$(basename "$program")
  echo "== $name"
  output=$("$program" 2>&1)
  rc=$?
  if [ $rc -ne 0 ]; then
    echo "   (exit status $rc)"
    status=1
  fi
  while IFS= read -r line; do
    if [[ $line == RESULT\ * ]]; then
      echo "$name ${line#RESULT }" >>"$results"
      continue
    fi
    echo "   $line"
    ratio_row "$name" "$line" >>"$results"
  done <<<"$output"
done

if [ $found -eq 0 ]; then
  echo "run_benchmarks: no bench_* programs in $BENCH_DIR" >&2
  exit 2
fi

echo
if [ -s "$results" ]; then
  awk 'BEGIN { printf "%-24s %-32s %12s %-6s %12s %8s\n", "benchmark", "figure", "value", "unit", "goal", "ratio" }
       { printf "%-24s %-32s %12s %-6s %12s %8s\n", $1, $2, $3, $4, ($5 == "" ? "-" : $5), ($6 == "" ? "-" : $6) }' \
    "$results"
else
  echo "(no RESULT lines: the figures above are the benchmarks' own text)"
fi
exit $status
