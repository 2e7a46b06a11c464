#include "link/SerialBusDriver.h"

TSerialBusDriver::TSerialBusDriver(std::unique_ptr<TRS232o> owned, TRS232o* borrowed)
    : OwnedPort(std::move(owned)), PortPtr(OwnedPort ? OwnedPort.get() : borrowed) {
  OwnsPort = OwnedPort != nullptr;
}

TSerialBusDriver::~TSerialBusDriver() {
  if (!OwnsPort) (void)OwnedPort.release();
}

std::unique_ptr<TRS232o> TSerialBusDriver::ReleasePort() {
  OwnsPort = false;
  return std::move(OwnedPort);
}

int TSerialBusDriver::ConnectedPort() {
  return PortPtr ? static_cast<int>(PortNumberSeen.load()) : 0;
}

bool TSerialBusDriver::AcceptPort() {
  if (!PortPtr || PortPtr->PortNumber() == 0) {
    PortFailed = true;
    return false;
  }
  PortNumberSeen = PortPtr->PortNumber();
  PortFailed = false;
  return true;
}

int TSerialBusDriver::ReadPortByte(uint8_t& byte) {
  PortPtr->StartRead(&byte, 1);
  const int r = PortPtr->WaitRead();
  // A port that counts as closed was lost, by this read or by a write before it.
  if (r < 0 || PortPtr->PortNumber() == 0) {
    PortFailed = true;
    PortNumberSeen = 0;
    return -1;
  }
  return r;
}
