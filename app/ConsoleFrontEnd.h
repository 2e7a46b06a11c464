#pragma once
// The calibration job on a terminal (calibrator-cli): the same cycle as the window,
// its log printed line by line, questions asked on the terminal or answered by a
// flag, and an exit status a script can act on. The command line, the port argument
// and the terminal output have headers of their own, included here for the callers.

#include <string>
#include <vector>

#include "app/ConsoleArguments.h"
#include "app/ConsoleOutput.h"
#include "app/ConsolePort.h"

// Exit statuses: one contract for every mode of the console.
enum TConsoleExit : int {
  ceOk = 0,                // done ("OK!", a value read or written)
  ceDeviceError = 1,       // the device refused or failed
  cePortError = 2,         // the port could not be opened
  ceTimeout = 3,           // --timeout passed without a device done
  ceUsage = 4,             // bad usage: unknown option or name, unreadable number or file
  ceRecordNotWritten = 5,  // done, but the calibration record could not be written
};

// Runs the whole console program; returns the exit status.
int RunConsole(const std::vector<std::string>& args);
