#!/usr/bin/env bash
# Tries on the built-in simulation stay out of the station's calibration record unless
# --record names a file; a device on bxsim's terminal is recorded as any other.
set -euo pipefail
build=${1:?build directory}
source "$(dirname "$0")/lib/bxsim.bash"
rec=$XDG_DATA_HOME/"Kalmeon Energy"/calibration-record.jsonl

"$cli" --port sim --timeout 30 --color never > "$work/out" 2>&1 || fail "exit $? on --port sim"
grep -qx "OK!" "$work/out" || fail "no OK!"
[ ! -e "$rec" ] || fail "--port sim wrote the default record"
"$cli" --history --port sim > "$work/out" 2>&1 || true
grep -q "virtual" "$work/out" && fail "--history shows a simulator run"

"$cli" --port sim --timeout 30 --color never --record "$work/tries.jsonl" > "$work/out" 2>&1 \
  || fail "exit $? on --port sim --record"
grep -q '"result":"OK!"' "$work/tries.jsonl" || fail "--record FILE did not record the try"

start_sim
"$cli" --port "$pty" --timeout 30 --color never > "$work/out" 2>&1 || fail "exit $? on bxsim"
grep -q "\"path\":\"$pty\"" "$rec" || fail "the bxsim device is not in the default record"
echo "sim record: ok"
