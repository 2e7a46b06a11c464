#pragma once
// The console's exit statuses, shared by its modes (calibration, update, history,
// trace decoding) so that a script reads one contract, and the one mapping from a
// failure's kind to its status.

#include "support/Result.h"

enum TConsoleExit : int {
  ceOk = 0,                // done ("OK!", a value read or written)
  ceDeviceError = 1,       // the device refused or failed
  cePortError = 2,         // the port could not be opened
  ceTimeout = 3,           // no interface or device answered (within --timeout)
  ceUsage = 4,             // bad usage: unknown option or name, unreadable number or file
  ceRecordNotWritten = 5,  // done, but the calibration record could not be written
};

constexpr TConsoleExit ExitFor(TFault fault) {
  switch (fault) {
    case TFault::None:
      return ceOk;
    case TFault::BadInput:
      return ceUsage;
    case TFault::PortUnavailable:
    case TFault::PortLost:
      return cePortError;
    case TFault::NoInterface:
    case TFault::NoDevice:
      return ceTimeout;
    case TFault::Storage:
      return ceRecordNotWritten;
    case TFault::Unsuitable:
    case TFault::Communication:
    case TFault::NotVerified:
    case TFault::Stopped:
      break;
  }
  return ceDeviceError;
}
