#!/usr/bin/env bash
# Standard output that could not be written is a failure: every program checks it at
# exit and ends with status 1 and a message on standard error, never 0.
set -euo pipefail
build=${1:?build directory}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_DATA_HOME=$work/data
fail() { echo "FAIL: $*"; cat "$work/err" 2>/dev/null || true; exit 1; }

cli=$build/app/calibrator-cli
printf '%s\n' '{"time":"2026-12-08T23:13:56.398Z","port":{"com":3},"device":{"version":2606207},"result":"OK!"}' \
  > "$work/records.jsonl"
# One calibration's JSON object, a value read as JSON, the records, the version.
for args in "--port sim --json --record - --timeout 30" "--history $work/records.jsonl --json" \
  "--history $work/records.jsonl" "--version"; do
  set +e
  # shellcheck disable=SC2086
  timeout 60 "$cli" $args > /dev/full 2> "$work/err"
  status=$?
  set -e
  [ "$status" -eq 1 ] || fail "calibrator-cli $args into /dev/full gave exit $status, not 1"
  grep -q "cannot write standard output" "$work/err" || fail "no message for calibrator-cli $args"
done
for args in --version --help; do
  set +e
  "$build/sim/bxsim" $args > /dev/full 2> "$work/err"
  status=$?
  set -e
  [ "$status" -eq 1 ] || fail "bxsim $args into /dev/full gave exit $status, not 1"
done
echo "output checks: all passed"
