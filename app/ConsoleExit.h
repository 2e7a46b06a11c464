#pragma once
// The console's exit statuses, shared by its modes (calibration, update, history,
// trace decoding) so that a script reads one contract.

enum TConsoleExit : int {
  ceOk = 0,                // done ("OK!", a value read or written)
  ceDeviceError = 1,       // the device refused or failed
  cePortError = 2,         // the port could not be opened
  ceTimeout = 3,           // --timeout passed without a device done
  ceUsage = 4,             // bad usage: unknown option or name, unreadable number or file
  ceRecordNotWritten = 5,  // done, but the calibration record could not be written
};
