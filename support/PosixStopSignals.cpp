// SIGINT, SIGTERM and SIGHUP ask for a stop at the next safe point.

#include <csignal>
#include <initializer_list>

#include "support/StopRequest.h"

namespace {

void OnStopSignal(int number) {
  switch (number) {
    case SIGINT:
      RequestStop(TStopCause::Interrupt);
      break;
    case SIGTERM:
      RequestStop(TStopCause::Terminate);
      break;
    case SIGHUP:
      RequestStop(TStopCause::HangUp);
      break;
    default:
      break;
  }
}

}  // namespace

void InstallStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // Interrupted system calls resume: the port's reads and waits are bounded anyway,
  // and the job notices the request between its steps.
  action.sa_flags = SA_RESTART;
  for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
}

void StopSettled() {}
