#pragma once
// A port that was lost (its adapter pulled, its device gone, a read that hung) is
// opened again by its number once a second. The number's device path is resolved
// anew on every try, so that a port-folder entry leading to a link such as
// /dev/serial/by-id/... follows the adapter to whatever node it gets when it is back.
// Shared by the calibration cycle, the loop between units and the console's modes.

#include <QElapsedTimer>
#include <cstdint>
#include <memory>
#include <string>

class TRS232o;

class TPortReturn {
 public:
  static constexpr int RetryMs = 1000;

  // `portNumber` was lost just now; the first try comes a second later.
  void Lost(uint32_t portNumber);
  bool Waiting() const { return Number != 0; }
  uint32_t PortNumber() const { return Number; }
  void Stop() { Number = 0; }
  // At most once a second: tries to open the port and returns it once it is back
  // (waiting ends then). While the port is there but cannot be opened (in use,
  // permission, a line it refuses), `blocker` receives why, once for each reason.
  std::unique_ptr<TRS232o> TryOpen(std::string& blocker);

 private:
  uint32_t Number = 0;
  QElapsedTimer SinceTry;
  std::string LastBlocker;
};

// Opens port n as every service task does (OpenServicePort). The object comes back
// whether or not it opened (its LastOpenError tells why not).
std::unique_ptr<TRS232o> OpenCalibrationPort(uint32_t portNumber);

// "Com 200 lost: waiting for it to come back"
std::string PortLostText(uint32_t portNumber);
