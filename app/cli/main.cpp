// calibrator-cli: the calibration job on a terminal.
#include <QCoreApplication>
#include <string>
#include <vector>

#include "app/ConsoleFrontEnd.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::vector<std::string> args(argv + 1, argv + argc);
  return RunConsole(args);
}
