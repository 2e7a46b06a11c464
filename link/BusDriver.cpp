#include "link/BusDriver.h"

#include <algorithm>
#include <thread>

#include "link/ProtocolCodes.h"
#include "serial/SerialPort.h"

namespace {
// Caller-side waits are cut into slices so that a driver being stopped ends them.
constexpr int WaitSlice = 20;
}  // namespace

TBusDriver::TBusDriver(bool) {}

TBusDriver::~TBusDriver() {
  ReleaseCallers();
  DropNotifies(this);
}

void TBusDriver::ReleaseCallers() {
  // Terminated() is set by now (Stop), so every sliced wait returns within a slice.
  Terminate();
  while (ActiveCallers.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

template <typename TWait>
bool TBusDriver::SlicedWait(int ms, TWait wait) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(std::max(ms, 0));
  for (;;) {
    const auto left = deadline - TClock::now();
    if (left <= TClock::duration::zero()) return wait(0);
    const auto slice = std::chrono::ceil<std::chrono::milliseconds>(
        std::min<TClock::duration>(left, std::chrono::milliseconds(WaitSlice)));
    if (wait(static_cast<int>(slice.count()))) return true;
    if (Terminated()) return false;
  }
}

bool TBusDriver::WaitEvent(const TEvent& event, int ms) {
  return SlicedWait(ms, [&event](int slice) { return event.Wait(slice); });
}

bool TBusDriver::WaitReplyCount(int ms) {
  return SlicedWait(ms, [this](int slice) { return ReplyCount.WaitNonZero(slice); });
}

void TBusDriver::SetFrameHandler(TFrameHandler handler) {
  HasFrameHandler = false;
  {
    std::lock_guard<std::mutex> guard(HandlerMutex);
    FrameHandler = handler;
  }
  HasFrameHandler = handler.Code != nullptr;
}

void TBusDriver::NotifyFrameQueued() {
  if (!HasFrameHandler) return;
  TFrameHandler handler;
  {
    std::lock_guard<std::mutex> guard(HandlerMutex);
    handler = FrameHandler;
  }
  if (handler.Code) PostNotify(this, 0, true, handler);
}

bool TBusDriver::WaitTxIdle(int milliseconds) {
  TCallerGuard guard(*this);
  return WaitEvent(TxIdle, milliseconds);
}

bool TBusDriver::SendAndConfirm(const std::string& text, uint8_t address) {
  TCallerGuard guard(*this);
  if (!TransmitFrame(text, address, true)) return false;
  if (!WaitSent()) return false;
  return !LastSendFailed;
}

int TBusDriver::Query(std::string& text, uint8_t address, int timeout) {
  TCallerGuard guard(*this);
  NextSequence();
  FlushReplies();
  int result = 0;
  if (TransmitFrame(text, address, false)) result = NextReply(text, timeout);
  if (result == 0) text.clear();
  return result;
}

int TBusDriver::NextReply(std::string& text, int timeout) {
  TCallerGuard guard(*this);
  if (timeout == -1) timeout = ReplyTimeout;
  const int result = WaitReplyCount(timeout) ? TakeFrame(text) : 0;
  if (result == 0) text.clear();
  return result;
}

void TBusDriver::FlushReplies() {
  std::string scratch;
  while (TakeFrame(scratch) != 0) {
  }
}

uint8_t TBusDriver::GetAddress() {
  return Address;
}

void TBusDriver::SelectAddress(uint8_t) {}

bool TBusDriver::AddressedQuery(uint32_t, std::string&, int, int) {
  return false;
}

std::unique_ptr<TRS232o> TBusDriver::ReleasePort() {
  return nullptr;
}

bool TBusDriver::SetStateFlag(int) {
  return false;
}

uint8_t TBusDriver::ClassifyVersion(int32_t version) {
  switch (version / 100000) {
    case 10:
    case 12:
    case 14:
    case 15:
      return 1;
    default:
      return 2;
  }
}

bool TBusDriver::SetControlPair(uint8_t first, uint8_t) {
  return SendAndConfirm(BuildCommand(dev::ControlPairRequest, first), 255);
}

bool TBusDriver::SetControlByte(uint8_t value) {
  return SendAndConfirm(BuildCommand(dev::ControlByteRequest, value), 255);
}

int TBusDriver::ReadStatusWord() {
  std::string text = BuildCommand(dev::StatusRequest);
  const int n = Query(text, 255, -1);
  if (n < 3 || static_cast<uint8_t>(text[0]) != dev::StatusReply) return -1;
  return static_cast<uint8_t>(text[1]) | (static_cast<uint8_t>(text[2]) << 8);
}

bool BitIsSet(uint32_t value, int bit) {
  return ((value >> (bit & 31)) & 1u) != 0;
}

void SetBit(uint32_t& value, int bit, bool on) {
  const uint32_t mask = 1u << (bit & 31);
  value = on ? (value | mask) : (value & ~mask);
}

bool DriverLostPort(TBusDriver& driver) {
  return driver.PortFailed && driver.ConnectedPort() == 0;
}

std::string DriverPortRefusal(const TBusDriver& driver) {
  return driver.PortFailed ? driver.PortRefusal : std::string();
}
