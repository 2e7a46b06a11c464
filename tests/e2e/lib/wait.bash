# Shared by the end-to-end libraries (bxsim.bash, xwindow.bash): waiting for a state.
#   wait_for SECONDS COMMAND...   runs COMMAND until it succeeds; false after SECONDS.
# A poll costs what COMMAND costs: a script whose checks are heavy (the window's read
# the log through the clipboard) sets wait_step to poll less often.
wait_step=${wait_step:-0.05}
wait_for() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep "$wait_step"
  done
}
