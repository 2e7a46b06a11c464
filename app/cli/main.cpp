// calibrator-cli: the calibration job on a terminal.
#include <QCoreApplication>
#include <string>
#include <vector>

#include "app/ConsoleFrontEnd.h"
#include "app/cli/SimPort.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::vector<std::string> args(argv + 1, argv + argc);
  InstallConsoleSimPort();
  return RunConsole(args);
}
