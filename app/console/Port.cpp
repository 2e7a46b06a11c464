#include "app/console/Port.h"

#include <utility>

#include "app/console/Arguments.h"
#include "serial/PortMap.h"

namespace {
TBuiltInPortMaker SimPortMaker;
}  // namespace

TBuiltInPortMaker SetSimPortMaker(TBuiltInPortMaker maker) {
  TBuiltInPortMaker previous = std::move(SimPortMaker);
  SimPortMaker = std::move(maker);
  return previous;
}

uint32_t ResolveConsolePort(const std::string& port, std::unique_ptr<TBuiltInPort>& builtIn,
                            std::string& error) {
  if (LowerAscii(port) == "sim") {
    if (!SimPortMaker) {
      error = "this program has no built-in simulation";
      return 0;
    }
    builtIn = SimPortMaker(error);
    return builtIn ? builtIn->PortNumber() : 0;
  }
  if (port.find('/') != std::string::npos) {
    const int number = AssignFreePortNumber(port);
    if (number <= 0) error = "no free port number for " + port;
    return number > 0 ? static_cast<uint32_t>(number) : 0;
  }
  const unsigned number = ComNumber(port);
  if (number == 0)
    error = "not a port: '" + port + "' (give a COM number 1..256, a device path, or sim)";
  return number;
}
