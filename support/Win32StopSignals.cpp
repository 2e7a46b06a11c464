// The console's control events ask for a stop at the next safe point: Ctrl-C and
// Ctrl-Break as an interrupt, the console window's close as a hang-up, log-off and
// shut-down as a request to terminate.

#include <windows.h>

#include <atomic>

#include "support/StopRequest.h"

namespace {

std::atomic<bool> Settled{false};

// Windows ends the process as soon as the handler of a close, log-off or shut-down
// returns; it waits a few seconds for it, time enough for the job to reach its
// safe point (a device's EEPROM switch turned off).
void WaitForSafePoint() {
  for (int waited = 0; waited < 4500 && !Settled.load(); waited += 50) Sleep(50);
}

BOOL WINAPI OnControlEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      RequestStop(TStopCause::Interrupt);
      return TRUE;
    case CTRL_CLOSE_EVENT:
      RequestStop(TStopCause::HangUp);
      WaitForSafePoint();
      return TRUE;
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      RequestStop(TStopCause::Terminate);
      WaitForSafePoint();
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void InstallStopSignals() {
  Settled = false;
  SetConsoleCtrlHandler(OnControlEvent, TRUE);
}

void StopSettled() {
  Settled = true;
}
