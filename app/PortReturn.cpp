#include "app/PortReturn.h"

#include "serial/SerialPort.h"
#include "variables/DeviceSession.h"

void TPortReturn::Lost(uint32_t portNumber) {
  Number = portNumber;
  LastBlocker.clear();
  SinceTry.start();
}

std::unique_ptr<TRS232o> TPortReturn::TryOpen(std::string& blocker) {
  blocker.clear();
  if (Number == 0 || SinceTry.elapsed() < RetryMs) return nullptr;
  SinceTry.start();
  std::unique_ptr<TRS232o> port = OpenCalibrationPort(Number);
  if (port->PortNumber() != 0) {
    Number = 0;
    return port;
  }
  // "Not there" is what waiting means; anything else stops the port coming back.
  const TOpenFailure& failure = port->LastOpenError();
  if (failure.Result.Fault == TSerialFault::sfNotFound) return nullptr;
  const std::string why = OpenFailureText(failure);
  if (why != LastBlocker) blocker = why;
  LastBlocker = why;
  return nullptr;
}

std::unique_ptr<TRS232o> OpenCalibrationPort(uint32_t portNumber) {
  auto port = std::make_unique<TRS232o>();
  (void)OpenServicePort(*port, portNumber);
  return port;
}

std::string PortLostText(uint32_t portNumber) {
  return "Com " + std::to_string(portNumber) + " lost: waiting for it to come back";
}
