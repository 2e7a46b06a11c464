#pragma once
// The platform side of a serial port: a small, policy-free interface that TRS232o
// drives. Three implementations: POSIX termios (Linux), Win32, and the in-memory
// virtual line. Every call reports a result with a kind, so that callers can tell
// "somebody else has the port" from "no such port" from "the adapter was pulled".

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "serial/ErrorCounters.h"
#include "serial/VirtualLine.h"

enum class TSerialFault {
  sfNone,
  sfInUse,             // another program (or another object of ours) holds the port
  sfPermissionDenied,  // the user may not open the device
  sfNotFound,          // no such device
  sfUnsupported,       // the device is not a serial line, or the setting is impossible
  sfDisconnected,      // the device went away while open (adapter pulled)
  sfIo,                // any other failure of the platform call
};

struct TSerialResult {
  TSerialFault Fault = TSerialFault::sfNone;
  int SysError = 0;  // errno or GetLastError() when known, else 0

  bool Ok() const { return Fault == TSerialFault::sfNone; }
  static TSerialResult Success() { return {}; }
  static TSerialResult Failure(TSerialFault fault, int sysError = 0) { return {fault, sysError}; }
};

// The line record: what SetCommState applies in one go.
struct TLineSettings {
  int Baud = 9600;
  char Parity = 'N';  // 'N', 'O', 'E', 'M', 'S'
  bool DtrOn = false;
  bool RtsOn = false;
};

// How one read ends. The read takes whatever is already buffered first, then:
// - ReturnAfterFirst: ends as soon as at least one byte has been taken;
// - otherwise waits for the first byte until Deadline, and after it keeps
//   collecting while bytes follow with gaps of at most Interval (zero = no gap
//   limit) until Count bytes are there or Deadline passes.
struct TReadPlan {
  TLineTime Deadline = TLineTime::max();
  std::chrono::microseconds Interval{0};
  bool ReturnAfterFirst = false;
};

enum class TReadEnd {
  reComplete,   // all requested bytes arrived
  reGap,        // the gap after a byte exceeded the interval, or ReturnAfterFirst
  reDeadline,   // the deadline passed
  reCancelled,  // a purge or cancel abandoned the read
  reFailed,     // see Status
};

struct TReadOutcome {
  TSerialResult Status;
  size_t Count = 0;
  uint32_t Errors = 0;  // line errors (le* bits) of the bytes taken
  TReadEnd End = TReadEnd::reComplete;
};

struct TWriteOutcome {
  TSerialResult Status;
  size_t Count = 0;
  bool TimedOut = false;
};

class TSerialBackend {
 public:
  virtual ~TSerialBackend() = default;

  // Opens exclusively. Opening never changes the modem lines on purpose; the
  // following SetLine does.
  virtual TSerialResult Open(const std::string& path) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;

  virtual TSerialResult GetLine(TLineSettings& line) = 0;
  // Applies baud, parity, 8 data bits, 1 stop bit, no flow control, and the DTR
  // and RTS levels. A line without modem control lines still succeeds.
  virtual TSerialResult SetLine(const TLineSettings& line) = 0;
  virtual TSerialResult SetQueueSizes(uint32_t receive, uint32_t transmit) = 0;

  virtual TReadOutcome Read(uint8_t* data, size_t count, const TReadPlan& plan) = 0;
  // Writes everything and returns when it has left (or been handed to the
  // device's transmitter), or at the deadline with TimedOut.
  virtual TWriteOutcome Write(const uint8_t* data, size_t count, TLineTime deadline) = 0;

  virtual TSerialResult PurgeReceive() = 0;
  virtual TSerialResult PurgeTransmit() = 0;
  // Line errors seen since the last call (le* bits), not tied to bytes read,
  // e.g. overruns counted by the driver. Most backends report them with the
  // bytes instead and return 0 here.
  virtual uint32_t TakeLineErrors() { return 0; }
  // The driver's running totals of parity, framing and break errors; false where
  // the driver keeps none.
  virtual bool ReadErrorCounters(TErrorCounters& /*counters*/) { return false; }
  virtual TSerialResult SetDtr(bool on) = 0;
  virtual TSerialResult SetRts(bool on) = 0;
  virtual TSerialResult SetBreak(bool on) = 0;
};

// The backend for a device path of this platform (POSIX or Win32).
std::unique_ptr<TSerialBackend> CreatePlatformBackend();
// The backend over an in-memory line.
std::unique_ptr<TSerialBackend> CreateVirtualBackend(std::shared_ptr<TVirtualLine> line);
