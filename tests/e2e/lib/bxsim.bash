# Shared by the end-to-end scripts that run the programs against bxsim on a
# pseudo-terminal. Sourced after `build` is set: every file of the run (ports, locks,
# records, settings) lives in the temporary folder $work, so a test never touches the
# user's.
#
#   start_sim [OPTION...]   starts bxsim with these options and returns once it is ready:
#                           its terminal linked (and with --com N, mapped in the port
#                           folder). Sets $pty (its terminal) and $simpid. Its output goes
#                           to $work/sim.out, the previous one removed first. Fails the
#                           test when bxsim ends or is not ready within 30 s.
#   stop_sim                SIGTERM; bxsim must exit 0. Its report (the words the tool
#                           wrote, the EEPROM switch) is then in $work/sim.out.
#   SIM=NAME start_sim ...  another bxsim beside the first, by name: its output goes to
#   SIM=NAME stop_sim       $work/sim.NAME.out; $pty and $simpid are set as above.
#   wait_for SECONDS COMMAND...   runs COMMAND until it succeeds; false after SECONDS.
#
# A script with processes of its own to end redefines cleanup(), calling stop_all_sims.
cli=$build/app/calibrator-cli
sim=$build/sim/bxsim
work=$(mktemp -d)
export KALMEON_PORTS_DIR=$work/ports
export KALMEON_LOCK_DIR=$work/lock
export XDG_DATA_HOME=$work/data     # the default calibration record
export XDG_CONFIG_HOME=$work/config # settings and the updater's calibration maps
mkdir -p "$KALMEON_LOCK_DIR" "$work/links"
simpid=
declare -A simpids=()

stop_all_sims() {
  local p
  for p in "${simpids[@]}"; do kill "$p" 2> /dev/null || true; done
  simpids=()
}
cleanup() {
  stop_all_sims
  wait 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  local f
  for f in "$work"/out "$work"/err "$work"/sim.*out; do
    [ -s "$f" ] && { echo "--- ${f##*/}"; cat "$f"; }
  done
  exit 1
}
wait_for() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.05
  done
}

sim_output() { [ "${SIM:-sim}" = sim ] && echo "$work/sim.out" || echo "$work/sim.$SIM.out"; }
start_sim() {
  local name=${SIM:-sim} out link com='' args=("$@") i
  out=$(sim_output)
  link=$work/links/$name
  for ((i = 0; i + 1 < ${#args[@]}; i++)); do
    [ "${args[i]}" = --com ] && com=$KALMEON_PORTS_DIR/com${args[i + 1]}
  done
  [ -z "${simpids[$name]:-}" ] || fail "bxsim $name started twice"
  rm -f "$out" "$link" ${com:+"$com"}
  "$sim" "$@" --link "$link" > "$out" 2>&1 &
  simpid=$!
  simpids[$name]=$simpid
  # Ready once its last entry is there: the link, then the --com mapping.
  local end=$((SECONDS + 30))
  until [ -L "$link" ] && { [ -z "$com" ] || [ -L "$com" ]; }; do
    kill -0 "$simpid" 2> /dev/null || fail "bxsim $name ended at start-up"
    [ "$SECONDS" -lt "$end" ] || fail "bxsim $name gave no terminal within 30 s"
    sleep 0.05
  done
  pty=$(readlink "$link")
  [ -e "$pty" ] || fail "bxsim $name: its terminal $pty is not there"
}
stop_sim() {
  local name=${SIM:-sim}
  local pid=${simpids[$name]:?bxsim $name is not running}
  unset "simpids[$name]"
  kill -TERM "$pid"
  wait "$pid" || fail "bxsim $name did not exit 0 on SIGTERM"
  simpid=
}
