#pragma once
// A serial line that lives in memory: one end is a TRS232o (through the virtual
// backend), the other end a simulated piece of equipment (sim/). It carries what a
// real wire carries and nothing more: bytes at a baud rate with an optional ninth
// (parity) bit, the DTR and RTS lines, the break condition; and, on the host side,
// line errors (overrun, parity, framing, break) as the host's UART would see them.
//
// Timing. In paced mode every byte occupies the wire for its character time
// (start + 8 data + parity if any + stop bits at the sender's baud rate); a byte
// becomes readable at the far end only when its last bit has arrived, and a host
// write completes only when its last byte has left. In fast mode (unit tests)
// every byte arrives at once. Either way a device may schedule bytes for later
// (SendToHost with a start time), which is how replies are delayed.
//
// Threads. The host side is used by whatever thread owns the TRS232o; the device
// callbacks run on the thread that caused them (the host writer for bytes, the
// host for modem-line changes) with no lock of the line held, so a device may
// call SendToHost from inside a callback. A device that is reached by several
// host threads over its life must guard its own state.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "serial/ErrorCounters.h"

using TLineClock = std::chrono::steady_clock;
using TLineTime = TLineClock::time_point;

// Line-error bits as the port object reports them in LastErrors.
enum : uint32_t {
  leRxOverflow = 1,
  leOverrun = 2,
  leParity = 4,
  leFraming = 8,
  leBreak = 16,
};

// The host's line settings and modem lines, as last applied by the port object.
struct TLineState {
  int Baud = 0;        // 0 until the host configures the line
  char Parity = 'N';   // 'N', 'O', 'E', 'M', 'S'
  bool Dtr = false;    // true = asserted (set)
  bool Rts = false;    // true = asserted (set)
  bool Break = false;  // break condition held by the host
  bool Open = false;   // the host has the port open
};

// One character on the wire.
struct TWireByte {
  uint8_t Value = 0;
  int8_t Ninth = -1;  // -1 no parity bit in the character, else the parity bit's value 0/1
  int Baud = 0;       // the sender's baud rate
};

class TVirtualLine;

// Implemented by simulated equipment.
class TVirtualDevice {
 public:
  virtual ~TVirtualDevice() = default;
  // A character from the host has fully arrived at `arrival`.
  virtual void OnHostByte(TVirtualLine& line, const TWireByte& byte, TLineTime arrival) = 0;
  // The host opened/closed the port, changed baud or parity, DTR, RTS or break.
  virtual void OnLineChange(TVirtualLine& line, const TLineState& state, TLineTime when) = 0;
};

class TVirtualLine : public std::enable_shared_from_this<TVirtualLine> {
 public:
  explicit TVirtualLine(bool paced = false);
  ~TVirtualLine();
  TVirtualLine(const TVirtualLine&) = delete;
  TVirtualLine& operator=(const TVirtualLine&) = delete;

  bool Paced() const { return PacedMode; }
  // Character time in microseconds at a baud rate, with or without a parity bit.
  static int64_t CharMicros(int baud, bool withParity);

  // ---- device side -------------------------------------------------------
  void AttachDevice(std::shared_ptr<TVirtualDevice> device);
  void DetachDevice();
  // Queue characters towards the host. They go on the wire one after the other,
  // the first not before `start` (default: now) and not before the previous
  // character towards the host has left. Each is received by the host UART with
  // its line errors decided by the host's settings at arrival: a baud rate other
  // than the sender's gives a garbled byte with leFraming; a ninth bit that does
  // not match the host's parity gives leParity; `extraErrors` adds errors of its
  // own (for fault injection), e.g. leOverrun.
  void SendToHost(const std::vector<TWireByte>& bytes, TLineTime start = TLineTime{},
                  uint32_t extraErrors = 0);
  // Convenience: bytes at one baud rate with no parity bit (or with a fixed ninth bit).
  void SendToHost(const std::vector<uint8_t>& bytes, int baud, int ninth = -1,
                  TLineTime start = TLineTime{});
  // Drop everything queued towards the host that has not yet arrived.
  void CancelToHost();
  // The cable is pulled: from now on every host operation fails as a lost device
  // (reads and writes report disconnection) until Reconnect().
  void Vanish();
  void Reconnect();
  bool Vanished() const;
  TLineState HostState() const;

  // ---- host side (used by the virtual serial backend) ----------------------
  void HostOpen();
  // Opens unless the host side is open already or the line has vanished (one
  // check and open, so that two openers cannot both succeed).
  bool HostTryOpen();
  void HostClose();
  void HostConfigure(int baud, char parity);
  void HostSetDtr(bool on);
  void HostSetRts(bool on);
  void HostSetBreak(bool on);
  // Sends bytes with the host's settings; returns when the last one has left the
  // wire (paced) or at once (fast), or early with false if the line vanished.
  bool HostWrite(const uint8_t* data, size_t count);
  // Reads up to `count` arrived bytes. Waits until at least one byte is there or
  // `deadline` passes; then keeps collecting while further bytes arrive with gaps
  // of at most `interval` (no gap limit when interval is zero), ending at `deadline`
  // in any case. Returns the number read, or -1 if the line vanished. Line errors
  // of the bytes read are ORed into *errors.
  int HostRead(uint8_t* data, size_t count, TLineTime deadline, std::chrono::microseconds interval,
               uint32_t* errors);
  // Bytes that have arrived and not been read yet (without waiting).
  size_t HostAvailable() const;
  void HostPurgeReceive();
  // The parity, framing and break errors of every byte the host has read, as a
  // driver that keeps error counters would count them.
  TErrorCounters HostErrorCounters() const;

 private:
  struct TQueued {
    uint8_t Value;
    uint32_t Errors;
    TLineTime Arrival;
    TWireByte Wire;        // as sent; decided against the host's settings on arrival
    bool Decided = false;  // Value and Errors hold what the host's UART made of it
  };
  TWireByte Garble(const TWireByte& b) const;
  // Decides every arrived character against the host's current settings (caller holds Mutex).
  void SettleArrived(TLineTime now);
  void NotifyLineChange(std::unique_lock<std::mutex>& lock, bool changed);
  void OpenLocked(std::unique_lock<std::mutex>& lock);
  void Count(uint32_t errors);  // caller holds Mutex

  const bool PacedMode;
  mutable std::mutex Mutex;
  std::condition_variable Arrived;
  std::shared_ptr<TVirtualDevice> Device;
  TLineState State;
  std::deque<TQueued> ToHost;
  TLineTime ToHostFree{};    // when the wire towards the host is next free
  TLineTime ToDeviceFree{};  // when the wire towards the device is next free
  bool IsVanished = false;
  TErrorCounters Counted;
};
