#pragma once
// The part every interface driver shares: a serial port the driver either owns or
// borrows, and the port number it last saw working.

#include <atomic>
#include <cstdint>
#include <memory>

#include "link/BusDriver.h"
#include "serial/SerialPort.h"

class TSerialBusDriver : public TBusDriver {
 public:
  ~TSerialBusDriver() override;

  int ConnectedPort() override;

  // The port stays alive after the driver: the caller gets it back (OwnsPort false).
  // The driver's thread may still use it until the driver has stopped.
  std::unique_ptr<TRS232o> ReleasePort() override;
  TRS232o* Port() const { return PortPtr; }

  // Whoever clears it keeps the port alive by other means.
  std::atomic<bool> OwnsPort{true};

 protected:
  // Exactly one of owned and borrowed is the port (an owned one wins).
  TSerialBusDriver(std::unique_ptr<TRS232o> owned, TRS232o* borrowed);

  // Notes the port's number and clears PortFailed; without a usable port it sets
  // PortFailed and returns false.
  bool AcceptPort();
  // Thread side: reads one byte into byte and returns what WaitRead gave (1 a byte,
  // 0 none in time). A failed read, or a port that counts as closed (a write lost it),
  // marks the port failed and gone and gives -1.
  int ReadPortByte(uint8_t& byte);

  std::unique_ptr<TRS232o> OwnedPort;
  TRS232o* PortPtr = nullptr;
  std::atomic<uint32_t> PortNumberSeen{0};
};
