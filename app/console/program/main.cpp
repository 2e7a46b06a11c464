// calibrator-cli: the calibration job on a terminal.
#include <QCoreApplication>
#include <string>
#include <vector>

#include "app/console/Modes.h"
#include "app/console/program/SimPort.h"
#include "support/Tools.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::vector<std::string> args(argv + 1, argv + argc);
  InstallConsoleSimPort();
  const int status = RunConsole(args);
  // Output that did not arrive (a full disk, a closed pipe) is a failure.
  if (!OutputWritten(stdout, "calibrator-cli", "standard output", stderr) && status == ceOk)
    return ceDeviceError;
  return status;
}
