#include "serial/VirtualLine.h"

#include <algorithm>
#include <bit>

namespace {

// Waits on a condition variable until `wake`; a wake time at the clock's end waits
// without a limit (some libraries overflow when converting time_point::max()).
void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, TLineTime wake) {
  if (wake == TLineTime::max()) {
    cv.wait(lock);
  } else {
    cv.wait_until(lock, wake);
  }
}

// The parity bit a UART with `parity` puts after `value`; -1 when it sends none.
int ParityBit(char parity, uint8_t value) {
  const int ones = std::popcount(static_cast<unsigned>(value)) & 1;
  switch (parity) {
    case 'O':
      return ones ? 0 : 1;
    case 'E':
      return ones;
    case 'M':
      return 1;
    case 'S':
      return 0;
    default:
      return -1;
  }
}

}  // namespace

TVirtualLine::TVirtualLine(bool paced) : PacedMode(paced) {}

TVirtualLine::~TVirtualLine() = default;

int64_t TVirtualLine::CharMicros(int baud, bool withParity) {
  if (baud <= 0) return 0;
  const int64_t bits = withParity ? 11 : 10;
  return (bits * 1000000 + baud - 1) / baud;
}

// ---- device side -----------------------------------------------------------

void TVirtualLine::AttachDevice(std::shared_ptr<TVirtualDevice> device) {
  std::lock_guard lock(Mutex);
  Device = std::move(device);
}

void TVirtualLine::DetachDevice() {
  std::shared_ptr<TVirtualDevice> old;
  {
    std::lock_guard lock(Mutex);
    old.swap(Device);
  }
  // `old` is released here, outside the lock, in case its destructor calls back.
}

void TVirtualLine::SendToHost(const std::vector<TWireByte>& bytes, TLineTime start,
                              uint32_t extraErrors) {
  {
    std::lock_guard lock(Mutex);
    if (IsVanished) return;
    const TLineTime now = TLineClock::now();
    TLineTime t = std::max({start, now, ToHostFree});
    for (const TWireByte& b : bytes) {
      if (PacedMode) t += std::chrono::microseconds(CharMicros(b.Baud, b.Ninth >= 0));
      ToHost.push_back(TQueued{b.Value, extraErrors, t, b, false});
    }
    ToHostFree = t;
  }
  Arrived.notify_all();
}

void TVirtualLine::SendToHost(const std::vector<uint8_t>& bytes, int baud, int ninth,
                              TLineTime start) {
  std::vector<TWireByte> wire;
  wire.reserve(bytes.size());
  for (uint8_t v : bytes) wire.push_back(TWireByte{v, static_cast<int8_t>(ninth), baud});
  SendToHost(wire, start);
}

void TVirtualLine::CancelToHost() {
  std::lock_guard lock(Mutex);
  const TLineTime now = TLineClock::now();
  SettleArrived(now);
  while (!ToHost.empty() && ToHost.back().Arrival > now) ToHost.pop_back();
  ToHostFree = std::min(ToHostFree, now);
}

void TVirtualLine::Vanish() {
  {
    std::lock_guard lock(Mutex);
    IsVanished = true;
    ToHost.clear();
  }
  Arrived.notify_all();
}

void TVirtualLine::Reconnect() {
  std::lock_guard lock(Mutex);
  IsVanished = false;
}

bool TVirtualLine::Vanished() const {
  std::lock_guard lock(Mutex);
  return IsVanished;
}

TLineState TVirtualLine::HostState() const {
  std::lock_guard lock(Mutex);
  return State;
}

// ---- host side ---------------------------------------------------------------

TWireByte TVirtualLine::Garble(const TWireByte& b) const {
  // Sampled at the wrong rate the bits land in the wrong places; any fixed scramble
  // will do, as long as it rarely gives the byte that was sent.
  TWireByte out = b;
  out.Value = static_cast<uint8_t>(~std::rotl(b.Value, 3) ^ 0x24);
  return out;
}

void TVirtualLine::SettleArrived(TLineTime now) {
  for (auto it = ToHost.begin(); it != ToHost.end() && it->Arrival <= now;) {
    if (it->Decided) {
      ++it;
      continue;
    }
    if (!State.Open) {  // nobody listening: the character is lost
      it = ToHost.erase(it);
      continue;
    }
    const TWireByte& w = it->Wire;
    if (w.Baud != State.Baud) {
      it->Value = Garble(w).Value;
      it->Errors |= leFraming;
    } else {
      // A character without a parity bit is followed by the idle (mark) level,
      // which a host expecting parity reads as a parity bit of 1.
      const int expected = ParityBit(State.Parity, w.Value);
      const int sent = w.Ninth < 0 ? 1 : w.Ninth;
      if (expected >= 0 && sent != expected) it->Errors |= leParity;
      if (expected < 0 && sent == 0) it->Errors |= leFraming;  // a 0 where the stop bit belongs
      it->Value = w.Value;
    }
    if (State.Break) it->Errors |= leBreak;
    it->Decided = true;
    ++it;
  }
}

void TVirtualLine::NotifyLineChange(std::unique_lock<std::mutex>& lock, bool changed) {
  if (!changed) return;
  const TLineState state = State;
  std::shared_ptr<TVirtualDevice> device = Device;
  lock.unlock();
  if (device) device->OnLineChange(*this, state, TLineClock::now());
}

bool TVirtualLine::HostTryOpen() {
  std::unique_lock lock(Mutex);
  if (State.Open || IsVanished) return false;
  OpenLocked(lock);
  return true;
}

void TVirtualLine::HostOpen() {
  std::unique_lock lock(Mutex);
  OpenLocked(lock);
}

void TVirtualLine::OpenLocked(std::unique_lock<std::mutex>& lock) {
  const TLineTime now = TLineClock::now();
  SettleArrived(now);  // whatever arrived while closed is lost
  while (!ToHost.empty() && ToHost.front().Arrival <= now) ToHost.pop_front();
  State.Open = true;
  NotifyLineChange(lock, true);
}

void TVirtualLine::HostClose() {
  std::unique_lock lock(Mutex);
  const TLineTime now = TLineClock::now();
  while (!ToHost.empty() && ToHost.front().Arrival <= now) ToHost.pop_front();
  const bool changed = State.Open || State.Dtr || State.Rts || State.Break;
  State.Open = false;
  State.Dtr = State.Rts = State.Break = false;
  lock.unlock();
  Arrived.notify_all();
  lock.lock();
  NotifyLineChange(lock, changed);
}

void TVirtualLine::HostConfigure(int baud, char parity) {
  std::unique_lock lock(Mutex);
  SettleArrived(TLineClock::now());
  const bool changed = State.Baud != baud || State.Parity != parity;
  State.Baud = baud;
  State.Parity = parity;
  NotifyLineChange(lock, changed);
}

void TVirtualLine::HostSetDtr(bool on) {
  std::unique_lock lock(Mutex);
  const bool changed = State.Dtr != on;
  State.Dtr = on;
  NotifyLineChange(lock, changed);
}

void TVirtualLine::HostSetRts(bool on) {
  std::unique_lock lock(Mutex);
  const bool changed = State.Rts != on;
  State.Rts = on;
  NotifyLineChange(lock, changed);
}

void TVirtualLine::HostSetBreak(bool on) {
  std::unique_lock lock(Mutex);
  SettleArrived(TLineClock::now());
  const bool changed = State.Break != on;
  State.Break = on;
  NotifyLineChange(lock, changed);
}

bool TVirtualLine::HostWrite(const uint8_t* data, size_t count) {
  // The bytes of one write leave back to back: each starts when the previous one
  // has left, however late this thread wakes up to hand it over.
  TLineTime previous{};
  for (size_t i = 0; i < count; ++i) {
    std::unique_lock lock(Mutex);
    if (IsVanished) return false;
    const int ninth = ParityBit(State.Parity, data[i]);
    const TWireByte byte{data[i], static_cast<int8_t>(ninth), State.Baud};
    TLineTime arrival = TLineClock::now();
    if (PacedMode) {
      const TLineTime start = i == 0 ? std::max(arrival, ToDeviceFree) : previous;
      arrival = start + std::chrono::microseconds(CharMicros(State.Baud, ninth >= 0));
      ToDeviceFree = previous = arrival;
      Arrived.wait_until(lock, arrival, [this] { return IsVanished; });
      if (IsVanished) return false;
    }
    std::shared_ptr<TVirtualDevice> device = Device;
    lock.unlock();
    if (device) device->OnHostByte(*this, byte, arrival);
  }
  return true;
}

int TVirtualLine::HostRead(uint8_t* data, size_t count, TLineTime deadline,
                           std::chrono::microseconds interval, uint32_t* errors) {
  std::unique_lock lock(Mutex);
  size_t got = 0;
  uint32_t seen = 0;
  // Gaps count from the read's start at the earliest: bytes that waited in the
  // buffer do not end a read before it has had its interval.
  const TLineTime readStart = TLineClock::now();
  TLineTime lastArrival{};
  for (;;) {
    if (IsVanished) return -1;
    const TLineTime now = TLineClock::now();
    SettleArrived(now);
    while (got < count && !ToHost.empty() && ToHost.front().Arrival <= now) {
      data[got++] = ToHost.front().Value;
      seen |= ToHost.front().Errors;
      Count(ToHost.front().Errors);
      lastArrival = std::max(ToHost.front().Arrival, readStart);
      ToHost.pop_front();
    }
    if (got == count || now >= deadline) break;
    TLineTime wake = deadline;
    if (got > 0 && interval.count() > 0) {
      const TLineTime gapEnd = lastArrival + interval;
      if (now >= gapEnd) break;  // everything still queued arrives after the gap
      wake = std::min(wake, gapEnd);
    }
    if (!ToHost.empty()) wake = std::min(wake, ToHost.front().Arrival);
    WaitUntil(Arrived, lock, wake);
  }
  if (errors) *errors |= seen;
  return static_cast<int>(got);
}

void TVirtualLine::Count(uint32_t errors) {
  Counted.Parity += (errors & leParity) ? 1 : 0;
  Counted.Frame += (errors & leFraming) ? 1 : 0;
  Counted.Break += (errors & leBreak) ? 1 : 0;
}

TErrorCounters TVirtualLine::HostErrorCounters() const {
  std::lock_guard lock(Mutex);
  return Counted;
}

size_t TVirtualLine::HostAvailable() const {
  std::lock_guard lock(Mutex);
  const TLineTime now = TLineClock::now();
  return static_cast<size_t>(std::count_if(ToHost.begin(), ToHost.end(),
                                           [now](const TQueued& q) { return q.Arrival <= now; }));
}

void TVirtualLine::HostPurgeReceive() {
  std::lock_guard lock(Mutex);
  const TLineTime now = TLineClock::now();
  while (!ToHost.empty() && ToHost.front().Arrival <= now) ToHost.pop_front();
}
