# Shared by the end-to-end scripts that run calibrator-cli against bxsim on a
# pseudo-terminal. Sourced after `build` is set: every file of the run (ports, locks,
# records, settings) lives in a temporary folder, so a test never touches the user's.
cli=$build/app/calibrator-cli
sim=$build/sim/bxsim
work=$(mktemp -d)
export KALMEON_PORTS_DIR=$work/ports
export KALMEON_LOCK_DIR=$work/lock
export XDG_DATA_HOME=$work/data     # the default calibration record
export XDG_CONFIG_HOME=$work/config # settings and the updater's calibration maps
mkdir -p "$KALMEON_LOCK_DIR"
simpid=
cleanup() {
  [ -n "$simpid" ] && kill "$simpid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  for f in out err sim.out; do
    [ -s "$work/$f" ] && { echo "--- $f"; cat "$work/$f"; }
  done
  exit 1
}

# Starts bxsim with the given options; its terminal's path goes to $pty.
start_sim() {
  "$sim" "$@" > "$work/sim.out" 2>&1 &
  simpid=$!
  for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
  pty=$(head -n 1 "$work/sim.out")
  [ -e "$pty" ] || fail "bxsim gave no terminal"
}
# Stops bxsim; it prints the words the tool wrote and the EEPROM switch on its way out.
stop_sim() {
  kill -TERM "$simpid"
  wait "$simpid" || fail "bxsim did not exit 0 on SIGTERM"
  simpid=
}
