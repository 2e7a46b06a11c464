#include "link/BX1Driver.h"

#include "support/Textlogger.h"

namespace {
constexpr int IdlePause = 50;
constexpr int GapAfterFrame = 60;     // ms the bus needs between two frames
constexpr uint32_t NinthBitSeen = 4;  // a mark (ninth bit 1) byte while listening with space parity
}  // namespace

TBX1Driver* TBX1Driver::Create(std::unique_ptr<TRS232o> port) {
  return Start(TSafeThread::Create<TBX1Driver>(true, std::move(port), nullptr));
}

TBX1Driver* TBX1Driver::CreateBorrowing(TRS232o& port) {
  return Start(TSafeThread::Create<TBX1Driver>(true, nullptr, &port));
}

TBX1Driver* TBX1Driver::Start(TBX1Driver* driver) {
  driver->SetTimeCritical();
  driver->Resume();
  return driver;
}

TBX1Driver::TBX1Driver(std::unique_ptr<TRS232o> owned, TRS232o* borrowed)
    : TSerialBusDriver(std::move(owned), borrowed) {
  ConfigurePort();
}

void TBX1Driver::ConfigurePort() {
  if (!AcceptPort()) return;
  if (!PortPtr->Configure(Baud, 'S')) {
    // Without the ninth bit no frame could be told apart: treat the port as unusable.
    PortRefusal = PortPtr->LastConfigureError();
    LogText(PortRefusal);
    PortFailed = true;
    return;
  }
  PortPtr->SetReadTimeouts(ReadTimeout);
  TxRtsCleared = false;
  PortPtr->ClearRts(true);
  PortPtr->ClearDtr(false);
  PortPtr->PurgeAll();
  PortPtr->ClearErrors();
}

TBX1Driver::~TBX1Driver() {
  ReleaseCallers();
}

// ---- caller side --------------------------------------------------------------------

bool TBX1Driver::TransmitFrame(const std::string& text, uint8_t, bool) {
  TCallerGuard caller(*this);
  // A lost port does not come back: fail at once rather than wait out the hand-over.
  if (PortFailed) return false;
  if (!WaitEvent(TxIdle, AckTimeout)) return false;
  TxFrame = {0, 0, 0, 0};
  TxIdle.Reset();
  for (size_t i = 0; i < 3 && i < text.size(); ++i) TxFrame[i] = static_cast<uint8_t>(text[i]);
  TxFrame[3] = static_cast<uint8_t>(0 - TxFrame[0] - TxFrame[1] - TxFrame[2]);
  TxPending = true;
  return true;
}

bool TBX1Driver::SendAndConfirm(const std::string& text, uint8_t) {
  TCallerGuard caller(*this);
  if (PortFailed) return false;
  const bool sent = TBusDriver::SendAndConfirm(text, 255);
  Pause(GapAfterFrame);
  return sent;
}

int TBX1Driver::TakeFrame(std::string& text) {
  std::lock_guard<std::mutex> guard(RingMutex);
  text.clear();
  if (ReplyCount.Count() != 0) {
    text = Ring[RingRead];
    RingRead = static_cast<uint8_t>((RingRead + 1) % RingSlots);
    ReplyCount.Add(-1);
  }
  return static_cast<int>(text.size());
}

// ---- thread side --------------------------------------------------------------------

void TBX1Driver::Execute() {
  while (!Terminated()) RunRound();
}

void TBX1Driver::RunRound() {
  if (PortFailed) {
    WaitTerminated(IdlePause);
    return;
  }
  const int r = ReadPortByte(RxByte);
  if (r < 0) return;
  if (r == 1) {
    if (Sending)
      CheckEcho(RxByte);
    else
      ListenByte(RxByte);
  } else {
    Pos = 0;
    if (Sending)
      AbortFrame();  // the echo did not come in time
    else if (TxPending)
      StartFrame();
  }
}

void TBX1Driver::StartFrame() {
  PortPtr->ClearRts(TxRtsCleared);
  LastSendFailed = false;
  Sending = true;
  PortPtr->Configure(PortPtr->Baud(), 'M');
  PortPtr->Write(&TxFrame[0], 1);
}

void TBX1Driver::CheckEcho(uint8_t byte) {
  PortPtr->ClearErrors();
  if (PortPtr->LastErrors() != 0 || byte != TxFrame[Pos]) {
    AbortFrame();
    return;
  }
  ++Pos;
  if (Pos == 1) {
    PortPtr->Configure(PortPtr->Baud(), 'S');
    PortPtr->Write(&TxFrame[1], 3);
  } else if (Pos == 4) {
    PortPtr->ClearRts(!TxRtsCleared);
    Sending = false;
    TxPending = false;
    Pos = 0;
    TxIdle.Set();
  }
}

void TBX1Driver::AbortFrame() {
  PortPtr->ClearRts(!TxRtsCleared);
  PortPtr->Configure(PortPtr->Baud(), 'S');
  PortPtr->PurgeAll();
  LastSendFailed = true;
  Sending = false;
  TxPending = false;
  Pos = 0;
  TxIdle.Set();
}

void TBX1Driver::ListenByte(uint8_t byte) {
  PortPtr->ClearErrors();
  const uint32_t errors = PortPtr->LastErrors();
  if (errors != 0) Pos = 0;  // a byte with any line error starts assembly afresh
  if (Pos != 3) RxFrame[Pos] = byte;
  ++Pos;
  if (errors != 0 && errors != NinthBitSeen) Pos = 0;
  if (Pos == 1) {
    Sum = byte;
    if (errors != NinthBitSeen) Pos = 0;  // a frame starts with a ninth-bit byte
  } else {
    Sum = static_cast<uint8_t>(Sum + byte);
    if (Pos == 4) {
      Pos = 0;
      if (Sum == 0) Deliver();
    }
  }
}

void TBX1Driver::Deliver() {
  const std::string message(reinterpret_cast<const char*>(RxFrame.data()), RxFrame.size());
  {
    std::lock_guard<std::mutex> guard(RingMutex);
    if (ReplyCount.Count() < RingSlots) {
      Ring[RingWrite] = message;
      RingWrite = static_cast<uint8_t>((RingWrite + 1) % RingSlots);
      ReplyCount.Add(1);
    } else {
      // Full: the newest waiting message gives way, the count stays.
      Ring[(RingWrite + RingSlots - 1) % RingSlots] = message;
    }
  }
  NotifyFrameQueued();
}
