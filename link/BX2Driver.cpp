#include "link/BX2Driver.h"

#include <algorithm>
#include <thread>

#include "link/BX2Frames.h"
#include "link/ProtocolCodes.h"
#include "support/Measurements.h"

std::atomic<uint8_t> TBX2Driver::PendingForeignAddress{255};

namespace {

constexpr int QuietAfterByte = 20;  // silent rounds before the line counts as quiet
constexpr int QuietAfterSend = 6;   // silent rounds left after each frame we send
constexpr int NotReadyPause = 200;
constexpr int IdlePause = 50;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now().time_since_epoch())
      .count();
}

uint8_t Byte(const std::string& text, size_t index) {
  return index < text.size() ? static_cast<uint8_t>(text[index]) : 0;
}

}  // namespace

// ---- TStringFifo --------------------------------------------------------------------

TStringFifo::TStringFifo(int capacity, bool overwriteWhenFull)
    : Slots(static_cast<size_t>(std::max(capacity, 1))), OverwriteWhenFull(overwriteWhenFull) {}

TStringFifo::~TStringFifo() {
  Lock.Acquire(true);
  for (auto& slot : Slots) slot.clear();
  Lock.Release();
}

bool TStringFifo::Push(const std::string& text) {
  Lock.Acquire(true);
  const bool room = Entries != Capacity();
  if (room) ++Entries;
  if (room || OverwriteWhenFull) {
    Slots[static_cast<size_t>(Head)] = text;
    Head = (Head + 1) % Capacity();
  }
  Lock.Release();
  return room;
}

void TStringFifo::Pop(std::string& text) {
  Lock.Acquire(true);
  if (Entries > 0) {
    text = Slots[static_cast<size_t>((Capacity() + Head - Entries) % Capacity())];
    --Entries;
  } else {
    text.clear();
  }
  Lock.Release();
}

int TStringFifo::Count() const {
  Lock.Acquire(true);
  const int count = Entries;
  Lock.Release();
  return count;
}

// ---- construction -------------------------------------------------------------------

TBX2Driver* TBX2Driver::Create(std::unique_ptr<TRS232o> port, bool useDefaultState, uint8_t mode) {
  return Start(TSafeThread::Create<TBX2Driver>(true, std::move(port), nullptr, mode),
               useDefaultState);
}

TBX2Driver* TBX2Driver::CreateBorrowing(TRS232o& port, bool useDefaultState, uint8_t mode) {
  return Start(TSafeThread::Create<TBX2Driver>(true, nullptr, &port, mode), useDefaultState);
}

// Steps after the port set-up: the thread starts, then the start-up exchange.
TBX2Driver* TBX2Driver::Start(TBX2Driver* driver, bool useDefaultState) {
  driver->SetTimeCritical();
  driver->InterfaceReply.Reset();
  driver->QuietRounds = 0;
  driver->PauseCount = 0;
  driver->AddressingMode = 0;
  driver->Resume();
  driver->StartUp(useDefaultState);
  return driver;
}

TBX2Driver::TBX2Driver(std::unique_ptr<TRS232o> owned, TRS232o* borrowed, uint8_t mode)
    : TSerialBusDriver(std::move(owned), borrowed) {
  SetLinkState(mode);
  PendingFlags = pfSelectAddress;
  // The thread is not running yet: it counts as holding off the port.
  PauseCount = 1;
  Paused = true;
  BusWatchdog = WatchdogRounds;
  ConfigurePort();
}

void TBX2Driver::ConfigurePort() {
  if (!AcceptPort()) return;
  if (LinkState == lsNotReady || LinkState == lsLost) Reinitialise();
  PortPtr->ClearDtr(false);
  PortPtr->SetReadTimeouts(ReadTimeout);
  PortPtr->PurgeAll();
  PortPtr->ClearErrors();
}

void TBX2Driver::StartUp(bool useDefaultState) {
  SetAddressingMode(1);
  if (useDefaultState) {
    {
      std::lock_guard<std::mutex> guard(SBlockMutex);
      SBlock = DefaultSBlock();
    }
    SendState(true, false);
  } else {
    QueryState();
  }
}

TBX2Driver::~TBX2Driver() {
  ReleaseCallers();
}

void TBX2Driver::SetLinkState(uint8_t state) {
  if (LinkState.exchange(state) != state) PendingFlags |= pfSendState;
}

// ---- thread side --------------------------------------------------------------------

void TBX2Driver::Execute() {
  while (!Terminated()) RunRound();
}

void TBX2Driver::RunRound() {
  Paused = PauseCount != 0;
  if (Paused || PortFailed) {
    WaitTerminated(IdlePause);
    return;
  }
  std::lock_guard<std::mutex> portGuard(PortMutex);
  if (--BusWatchdog <= 0) {
    SetLinkState(lsLost);
    BusWatchdog = WatchdogRounds;
  }
  const int r = ReadPortByte(RxByte);
  if (r < 0) return;
  if (r == 1) {
    ReceiveByte(RxByte);
  } else if (TxPending && QuietRounds == 0) {
    TransmitPending();
  } else {
    if (TxPending) CountQuietRoundWithFrameWaiting();
    if (QuietRounds > 0 && --QuietRounds == 0) Assembler.Reset();  // unfinished frame abandoned
  }
}

void TBX2Driver::ReceiveByte(uint8_t byte) {
  QuietRounds = QuietAfterByte;
  PortPtr->ClearErrors();
  if (Assembler.Feed(byte, PortPtr->LastErrors() != 0) && HandleFrame(Assembler.Raw()))
    QuietRounds = 0;
}

void TBX2Driver::TransmitPending() {
  const std::string& frame = TxBuffer;
  // A frame that did not leave whole (failed or timed-out write) is not reported as sent.
  const int written = PortPtr->Write(frame.data(), static_cast<uint32_t>(frame.size()));
  LastSendFailed = written != static_cast<int>(frame.size());
  LastSentSize = std::min(frame.size(), LastSent.size());
  std::copy_n(frame.begin(), LastSentSize, LastSent.begin());
  TxPending = false;
  QuietRounds = QuietAfterSend;
  TxIdle.Set();
}

bool TBX2Driver::HandleFrame(std::string_view raw) {
  TBX2Frame frame;
  if (!CheckFrame(raw, frame)) return false;
  const bool echo = raw.size() == LastSentSize &&
                    std::equal(raw.begin(), raw.end(), LastSent.begin(),
                               [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
  if (!echo) BusWatchdog = WatchdogRounds;
  if (frame.HasStatus) {
    StatusBytes[0] = frame.Status[0];
    StatusBytes[1] = frame.Status[1];
  }
  if (frame.IsInterfaceFrame())
    HandleInterfaceFrame(frame);
  else
    StoreEntry(bx2::KindBusFrame, frame.Message);
  return true;
}

void TBX2Driver::HandleInterfaceFrame(const TBX2Frame& frame) {
  const std::string& m = frame.Message;
  const char letter = frame.Letter();
  switch (letter) {
    case bx2::LetterSelectAddress:
      if (m.size() >= 4) AckAddress = Byte(m, 3);
      break;
    case bx2::LetterStateQuery: {
      bool kmbus = false;
      bool loaded = false;
      {
        std::lock_guard<std::mutex> guard(SBlockMutex);
        loaded = LoadStateReply(m, SBlock, kmbus);
      }
      if (loaded) SetLinkState(kmbus ? lsKMBus : lsNineBit);
      StateReplySeen = true;
      break;
    }
    case bx2::LetterStatusQuery:
      if (m.size() >= 4) {
        StatusBytes[0] = Byte(m, 2);
        StatusBytes[1] = Byte(m, 3);
      }
      break;
    case bx2::LetterVersionQuery:
      PendingFlags |= pfSendState;
      if (m.size() >= 7 && m[6] == bx2::VersionNineBitMode) {
        SetLinkState(lsNineBit);
      } else {
        SetLinkState(lsKMBus);
        if (m.size() >= 7) {
          const uint8_t announced = m[6] == bx2::VersionAddress255 ? 255 : Byte(m, 6);
          const uint8_t expected = AddressingMode == 1 ? Address.load() : uint8_t{255};
          if (announced != expected)
            PendingFlags |= pfSelectAddress;
          else
            PendingFlags &= ~uint32_t{pfSelectAddress};
        }
      }
      break;
    default:
      if (!bx2::IsReplyLetter(letter)) break;
      if ((AddressingMode == 1 && static_cast<uint8_t>(letter) == Sequence) ||
          LinkState == lsNineBit) {
        for (const auto& reply : SplitDeviceReplies(std::string_view(m).substr(2)))
          StoreEntry(bx2::KindDeviceReply, reply);
      }
      break;
  }
  // Signalled only now, so a waiting caller sees what the frame carried.
  InterfaceReply.Set();
}

void TBX2Driver::StoreEntry(uint8_t kind, std::string_view bytes) {
  std::string entry(1, static_cast<char>(kind));
  entry.append(bytes);
  if (RxQueue.Push(entry)) ReplyCount.Add(1);
  NotifyFrameQueued();
}

// ---- caller side --------------------------------------------------------------------

TBX2Driver::TPauseGuard::TPauseGuard(TBX2Driver& driver) : Driver(driver) {
  ++Driver.PauseCount;
  // The thread checks PauseCount before it takes the port for a round; once we hold
  // the port lock it is either idling or waiting for us.
  Driver.PortMutex.lock();
}

TBX2Driver::TPauseGuard::~TPauseGuard() {
  Driver.PortMutex.unlock();
  --Driver.PauseCount;
}

void TBX2Driver::Reinitialise() {
  TCallerGuard caller(*this);
  TPauseGuard pause(*this);
  if (PortPtr) {
    WakeInterface(*PortPtr);
    PortPtr->Configure(2400, 'N');
    PortPtr->SetReadTimeouts(ReadTimeout);
    PortPtr->ClearDtr(false);
    PortPtr->PurgeAll();
  }
  BusWatchdog = WatchdogRounds;
  SetLinkState(lsNotReady);
  InterfaceReply.Reset();
  WaitEvent(InterfaceReply, ReinitialiseReplyWait);
}

// Steps shared by every hand-over: wake a lost link, refuse while it is not ready.
bool TBX2Driver::PrepareLink() {
  // A lost port does not come back: fail at once instead of waiting for hand-overs
  // that the driver thread will never take.
  if (PortFailed) return false;
  if (LinkState == lsLost) Reinitialise();
  if (LinkState == lsNotReady) {
    Pause(NotReadyPause);
    return false;
  }
  return true;
}

void TBX2Driver::HandOver(const std::string& frame) {
  TxBuffer = frame;
  LastSendFailed = false;
  TxPending = true;
}

bool TBX2Driver::QueueInterfaceFrame(const std::string& text) {
  TCallerGuard caller(*this);
  if (!PrepareLink()) return false;
  if (!WaitEvent(TxIdle, AckTimeout)) return false;
  TxIdle.Reset();
  InterfaceReply.Reset();
  HandOver(BuildInterfaceFrame(text));
  return true;
}

bool TBX2Driver::QueueAddressedFrame(const std::string& payload) {
  TCallerGuard caller(*this);
  if (!PrepareLink()) return false;
  if (PendingFlags & pfSendState) SendState(true, false);
  if (!WaitEvent(TxIdle, AckTimeout)) return false;
  TxIdle.Reset();
  HandOver(BuildAddressedPayloadFrame(payload));
  return true;
}

bool TBX2Driver::TransmitFrame(const std::string& text, uint8_t address, bool advance) {
  TCallerGuard caller(*this);
  if (!PrepareLink()) return false;
  if (PendingFlags & pfSendState) SendState(true, false);
  if (PendingFlags & pfSelectAddress) SelectAddress(GetAddress());
  if (!WaitEvent(TxIdle, AckTimeout)) return false;
  if (advance) NextSequence();
  const uint8_t selected = GetAddress();
  std::string frameText;
  if (PendingForeignAddress == 255 && (address == 255 || address == selected)) {
    frameText = BuildCommand(Sequence.load(), text);
  } else {
    if (address == 255) address = selected;
    PendingForeignAddress = address == selected ? 255 : address;
    frameText = BuildCommand(Sequence.load() | bx2::LetterToAddress, text, address);
  }
  return QueueInterfaceFrame(frameText);
}

void TBX2Driver::NextSequence() {
  if (LinkState != lsNineBit && AddressingMode != 1) return;
  const uint8_t next = static_cast<uint8_t>(Sequence + 1);
  Sequence =
      bx2::IsRequestLetter(static_cast<char>(next)) ? next : uint8_t{bx2::LetterFirstRequest};
}

void TBX2Driver::SelectAddress(uint8_t address) {
  TCallerGuard caller(*this);
  const uint8_t x = LinkState == lsNineBit ? 0 : (AddressingMode == 1 ? address : 255);
  AckAddress = static_cast<uint8_t>(x + 1);
  bool match = false;
  for (int attempt = 0; attempt < 3 && !match; ++attempt) {
    if (!QueueInterfaceFrame(BuildCommand(bx2::LetterSelectAddress, 0x01, x))) continue;
    WaitEvent(InterfaceReply, ReplyTimeout);
    match = AckAddress == x;
  }
  Address = address;
  if (match)
    PendingFlags &= ~uint32_t{pfSelectAddress};
  else
    PendingFlags |= pfSelectAddress;
}

void TBX2Driver::SetAddressingMode(uint8_t mode) {
  const uint8_t old = AddressingMode;
  if (mode == old) return;
  AddressingMode = mode;
  if (old == 1 || mode == 1) SelectAddress(GetAddress());
}

bool TBX2Driver::SendState(bool argumentA, bool argumentB) {
  TCallerGuard caller(*this);
  std::string text;
  {
    std::lock_guard<std::mutex> guard(SBlockMutex);
    text = BuildStateCommand(SBlock, argumentA, argumentB);
  }
  const bool ok = QueueInterfaceFrame(text);
  if (ok) WaitEvent(InterfaceReply, ReplyTimeout);
  if (ok)
    PendingFlags &= ~uint32_t{pfSendState};
  else
    PendingFlags |= pfSendState;
  return ok;
}

bool TBX2Driver::SetStateFlag(int flag) {
  if (flag < 0 || flag >= static_cast<int>(SBlock.size())) return false;
  {
    std::lock_guard<std::mutex> guard(SBlockMutex);
    SBlock[static_cast<size_t>(flag)] = 1;
  }
  return SendState(true, false);
}

bool TBX2Driver::QueryState() {
  TCallerGuard caller(*this);
  StateReplySeen = false;
  const bool ok = QueueInterfaceFrame(std::string(1, bx2::LetterStateQuery));
  WaitEvent(InterfaceReply, ReplyTimeout);
  return ok && StateReplySeen;
}

bool TBX2Driver::QueryStatus() {
  TCallerGuard caller(*this);
  const bool ok = QueueInterfaceFrame(std::string(1, bx2::LetterStatusQuery));
  WaitEvent(InterfaceReply, ReplyTimeout);
  return ok;
}

int TBX2Driver::TakeFrame(std::string& text) {
  if (ReplyCount.Count() != 0) {
    RxQueue.Pop(text);
    ReplyCount.Add(-1);
  } else {
    text.clear();
  }
  return static_cast<int>(text.size());
}

int TBX2Driver::WaitForEntry(std::string& text, uint8_t kind, bool strip, int timeout) {
  TCallerGuard caller(*this);
  if (timeout == -1) timeout = ReplyTimeout;
  const int64_t deadline = NowMs() + timeout;
  int r = 0;
  for (;;) {
    const int remaining = static_cast<int>(std::max<int64_t>(deadline - NowMs(), 0));
    r = TBusDriver::NextReply(text, remaining);
    if (r == 0 || Byte(text, 0) == kind || kind == bx2::KindAny) break;
    if (NowMs() > deadline) break;  // the entry is dropped
  }
  if (r != 0 && Byte(text, 0) != kind && kind != bx2::KindAny) r = 0;
  if (r != 0 && strip) {
    text.erase(0, 1);
    --r;
  }
  if (r == 0) text.clear();
  return r;
}

int TBX2Driver::NextReply(std::string& text, int timeout) {
  return WaitForEntry(text, bx2::KindDeviceReply, true, timeout);
}

int TBX2Driver::NextBusFrame(std::string& text, int timeout) {
  return WaitForEntry(text, bx2::KindBusFrame, true, timeout);
}

bool TBX2Driver::AddressedQuery(uint32_t value, std::string& text, int timeout, int expectedCode) {
  TCallerGuard caller(*this);
  std::string payload(1, static_cast<char>(bx2::AddressedMarker));
  for (int i = 0; i < 4; ++i) payload.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  payload.append(text);
  // A frame that never left cannot have been answered.
  if (!QueueAddressedFrame(payload)) return false;
  if (expectedCode == -1) return true;
  const uint8_t code = static_cast<uint8_t>(expectedCode & 0xFF);
  const int64_t deadline = NowMs() + AddressedQueryLimit;
  std::string reply;
  int r = 0;
  do {
    r = NextBusFrame(reply, timeout);
  } while (r != 0 && Byte(reply, 0) != code && NowMs() <= deadline);
  const bool ok = r != 0 && Byte(reply, 0) == code;
  if (ok) text = reply;
  return ok;
}

bool TBX2Driver::SetControlByte(uint8_t value) {
  if (LinkState != lsKMBus) return TBusDriver::SetControlByte(value);
  {
    std::lock_guard<std::mutex> guard(SBlockMutex);
    SBlock[sbByte0] = value;
  }
  return SendState(false, false);
}

bool TBX2Driver::SetControlPair(uint8_t first, uint8_t second) {
  if (LinkState != lsKMBus) return TBusDriver::SetControlPair(first, second);
  {
    std::lock_guard<std::mutex> guard(SBlockMutex);
    SBlock[sbByte1] = first;
    SBlock[sbByte2] = second;
  }
  return SendState(false, false);
}

int TBX2Driver::ReadStatusWord() {
  if (LinkState != lsKMBus) return TBusDriver::ReadStatusWord();
  if (!QueryStatus()) return -1;
  return StatusWord(StatusBytes[0], StatusBytes[1], BlinkPhase);
}
