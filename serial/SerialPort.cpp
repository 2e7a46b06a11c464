#include "serial/SerialPort.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <stdexcept>

#include "serial/PortMap.h"
#include "support/Measurements.h"

namespace {

constexpr int kWaitMargin = 100;  // ms added to every read and write deadline

std::mutex GlobalTraceMutex;
std::atomic<bool> GlobalTraceSet{false};
std::shared_ptr<const TSerialTrace> GlobalTrace;

int ClampMs(int64_t ms) {
  return static_cast<int>(std::clamp<int64_t>(ms, 0, std::numeric_limits<int32_t>::max()));
}

bool IsParityLetter(char c) {
  return c == 'N' || c == 'O' || c == 'E' || c == 'M' || c == 'S';
}

}  // namespace

EAssertionFailure::EAssertionFailure(std::string unit)
    : std::logic_error("Assertion failure"), Unit(std::move(unit)) {}

void SetGlobalSerialTrace(TSerialTrace trace) {
  std::lock_guard lock(GlobalTraceMutex);
  GlobalTrace = trace ? std::make_shared<const TSerialTrace>(std::move(trace)) : nullptr;
  GlobalTraceSet = GlobalTrace != nullptr;
}

void StartUnitSerialPort() {}

void StopUnitSerialPort() {
  SetGlobalSerialTrace(nullptr);
}

TRS232o::TRS232o() = default;

TRS232o::~TRS232o() {
  Close();
}

bool TRS232o::HandleValid() const {
  return Backend && Backend->IsOpen();
}

bool TRS232o::OpenDevice(uint32_t portNumber) {
  Backend.reset();
  FLastOpenError = TOpenFailure{};
  FLastOpenError.PortNumber = portNumber;
  const TPortTarget target = ResolvePort(static_cast<int>(portNumber));
  if (target.Empty()) {
    FLastOpenError.Result = TSerialResult::Failure(TSerialFault::sfNotFound);
    return false;
  }
  std::unique_ptr<TSerialBackend> backend =
      target.Line ? CreateVirtualBackend(target.Line) : CreatePlatformBackend();
  FLastOpenError.Path = target.Line ? PortPath(static_cast<int>(portNumber)) : target.Path;
  return AdoptBackend(std::move(backend), target.Path, portNumber);
}

bool TRS232o::AdoptBackend(std::unique_ptr<TSerialBackend> backend, const std::string& path,
                           uint32_t portNumber) {
  const TSerialResult opened = backend->Open(path);
  if (!opened.Ok()) {
    FLastOpenError.Result = opened;
    return false;
  }
  Backend = std::move(backend);
  TracedNumber = portNumber;
  return true;
}

bool TRS232o::Open(uint32_t portNumber, int baud, char parity, uint32_t receiveQueue,
                   uint32_t transmitQueue) {
  if (Backend) Backend->Close();  // never opened twice; do not leak the old device
  const bool opened = OpenDevice(portNumber);
  return FinishOpen(opened ? portNumber : 0, baud, parity, receiveQueue, transmitQueue);
}

bool TRS232o::OpenOn(std::unique_ptr<TSerialBackend> backend, uint32_t portNumber, int baud,
                     char parity, uint32_t receiveQueue, uint32_t transmitQueue) {
  if (Backend) Backend->Close();
  Backend.reset();
  FLastOpenError = TOpenFailure{};
  FLastOpenError.PortNumber = portNumber;
  const bool opened = backend && AdoptBackend(std::move(backend), "", portNumber);
  return FinishOpen(opened ? portNumber : 0, baud, parity, receiveQueue, transmitQueue);
}

// Open's steps after the device is open (portNumber 0: it did not open).
bool TRS232o::FinishOpen(uint32_t portNumber, int baud, char parity, uint32_t receiveQueue,
                         uint32_t transmitQueue) {
  bool ok = portNumber != 0;
  if (ok) {
    ok = Configure(baud, parity);
    if (!ok) {
      FLastOpenError.Result = TSerialResult::Failure(TSerialFault::sfUnsupported);
      FLastOpenError.Detail = FLastConfigureError;
    }
  }
  if (ok) ok = ApplyTimeouts(TCommTimeouts{100, 100, 0, 0, 0});
  FReceiveQueue = receiveQueue;
  FTransmitQueue = transmitQueue;
  if (ok) ok = Backend->SetQueueSizes(receiveQueue, transmitQueue).Ok();
  if (!ok && Backend) {
    if (FLastOpenError.Result.Ok())
      FLastOpenError.Result = TSerialResult::Failure(TSerialFault::sfUnsupported);
    Backend->Close();
    Backend.reset();
  }
  FPortNumber = ok ? portNumber : 0;
  return ok;
}

bool TRS232o::Configure(int baud, char parity) {
  FLastConfigureError.clear();
  if (!HandleValid() || baud <= 0) return false;  // a rate of 0 has no character time
  TLineSettings record;
  if (!Backend->GetLine(record).Ok()) return false;
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(parity)));
  record.RtsOn = !FRtsCleared;
  record.DtrOn = !FDtrCleared;
  record.Baud = baud;
  if (IsParityLetter(upper)) record.Parity = upper;
  if (!Backend->SetLine(record).Ok()) {
    FLastConfigureError = PortWords() + " refused the line settings (" + std::to_string(baud) +
                          " baud, parity " + std::string(1, record.Parity) + ").";
    return false;
  }
  // A driver may accept the call and still ignore a part of it: read back.
  TLineSettings held = record;
  if (Backend->GetLine(held).Ok()) FLastConfigureError = CheckLineTook(record, held);
  if (!FLastConfigureError.empty()) {
    if (FBaud > 0) Backend->SetLine(FLine);  // back to the last line that took
    return false;
  }
  FLine = record;
  FParityChar = upper;
  FBaud = baud;
  FMsPerByte = 10000 / baud + 1;
  return true;
}

std::string TRS232o::PortWords() const {
  return "Com " + std::to_string(TracedNumber);
}

std::string TRS232o::CheckLineTook(const TLineSettings& wanted, const TLineSettings& held) const {
  if (held.Parity != wanted.Parity) {
    if (wanted.Parity == 'M' || wanted.Parity == 'S')
      return "The driver of the adapter at " + PortWords() +
             " does not support the mark and space parity that the BX1 interface needs. "
             "Use another adapter (or its driver) that supports them.";
    return "The adapter at " + PortWords() + " did not take parity " +
           std::string(1, wanted.Parity) + " (it holds " + std::string(1, held.Parity) + ").";
  }
  const int64_t off = std::abs(int64_t{held.Baud} - wanted.Baud);
  if (off * 100 > int64_t{wanted.Baud} * RateTolerancePercent)
    return "The adapter at " + PortWords() + " cannot run at " + std::to_string(wanted.Baud) +
           " baud (its driver set " + std::to_string(held.Baud) +
           " baud). Use another adapter for this interface.";
  return {};
}

bool TRS232o::SetBaud(int baud) {
  return Configure(baud, FParityChar);
}

bool TRS232o::ApplyTimeouts(const TCommTimeouts& timeouts) {
  FTimeouts = timeouts;
  return HandleValid();
}

bool TRS232o::SetTimeouts(const TCommTimeouts& timeouts) {
  return ApplyTimeouts(timeouts);
}

bool TRS232o::SetReadTimeouts(int t) {
  TCommTimeouts next = FTimeouts;
  const uint32_t asUnsigned = static_cast<uint32_t>(t);
  next.ReadInterval = asUnsigned >= 70 ? asUnsigned : 70;
  next.ReadPerByte = t == -1 ? 0 : asUnsigned;
  next.ReadConstant = 0;
  return ApplyTimeouts(next);
}

int TRS232o::ComputeReadDeadline(uint32_t count) const {
  const TCommTimeouts& t = FTimeouts;
  int64_t deadline = 0;
  if (t.ReadInterval != MaxTimeout) {
    deadline = int64_t{count} * t.ReadPerByte + t.ReadConstant;
    if (deadline == 0) deadline = int64_t{count} * t.ReadInterval;
  } else if (t.ReadPerByte == MaxTimeout) {
    if (t.ReadConstant == MaxTimeout || t.ReadConstant == 0) throw EAssertionFailure("RS232o");
    deadline = t.ReadConstant;
  } else {
    if (t.ReadPerByte != 0 || t.ReadConstant != 0) throw EAssertionFailure("RS232o");
  }
  return ClampMs(deadline + kWaitMargin);
}

// How the platform would end a read issued at `issued` under the current time-outs.
TReadPlan TRS232o::PlanRead(TLineTime issued, uint32_t count) const {
  const TCommTimeouts& t = FTimeouts;
  TReadPlan plan;
  if (t.ReadInterval == MaxTimeout) {
    if (t.ReadPerByte == MaxTimeout) {
      plan.ReturnAfterFirst = true;
      plan.Deadline = issued + std::chrono::milliseconds(t.ReadConstant);
    } else {
      plan.Deadline = issued;  // return at once with whatever is buffered
    }
    return plan;
  }
  plan.Interval = std::chrono::milliseconds(t.ReadInterval);
  const int64_t total = int64_t{count} * t.ReadPerByte + t.ReadConstant;
  if (total > 0) plan.Deadline = issued + std::chrono::milliseconds(total);
  return plan;
}

bool TRS232o::StartRead(void* buffer, uint32_t count) {
  FReadDeadline = ComputeReadDeadline(count);
  Reading = TPendingRead{static_cast<uint8_t*>(buffer), count, TLineClock::now(), false};
  FReadPending = true;
  return HandleValid();
}

namespace {
int64_t MicrosSince(TLineTime start) {
  return std::chrono::duration_cast<std::chrono::microseconds>(TLineClock::now() - start).count();
}
}  // namespace

int TRS232o::WaitRead() {
  if (FPortNumber == 0) return 0;
  if (!FReadPending || Reading.Aborted || !HandleValid()) {
    FReadPending = false;
    return 0;
  }
  const TLineTime waitEnd = TLineClock::now() + std::chrono::milliseconds(FReadDeadline);
  TReadPlan plan = PlanRead(Reading.Issued, Reading.Count);
  const bool hangs = plan.Deadline > waitEnd;  // the read would outlast the wait
  plan.Deadline = std::min(plan.Deadline, waitEnd);
  const TLineTime readStart = TLineClock::now();
  const TReadOutcome got = Backend->Read(Reading.Buffer, Reading.Count, plan);
  if (got.Status.Ok()) {
    if (got.Count == 0)
      CountIdleReadMicros(MicrosSince(readStart));
    else if (got.End == TReadEnd::reGap)
      CountIdleReadMicros(plan.Interval.count());  // the gap that ended the read
  }
  FReadPending = false;
  PendingErrors |= got.Errors;
  TraceBurst(false, Reading.Buffer, got.Count, got.Errors);
  if (!got.Status.Ok() || (hangs && got.End == TReadEnd::reDeadline)) {
    Reopen();
    return -1;
  }
  return static_cast<int>(got.Count);
}

int TRS232o::Read(void* buffer, uint32_t count, int first) {
  if (count == 0) return 0;
  if (first == -1) {
    StartRead(buffer, count);
    return WaitRead();
  }
  const uint32_t rememberedInterval = FTimeouts.ReadInterval;
  SetReadTimeouts(first);
  StartRead(buffer, 1);
  const int r = WaitRead();
  SetReadTimeouts(static_cast<int>(rememberedInterval));
  if (r != 1) return r;
  StartRead(static_cast<uint8_t*>(buffer) + 1, count - 1);
  const int rest = WaitRead();
  return rest < 0 ? rest : rest + 1;  // a lost port stays -1, never "nothing read"
}

bool TRS232o::StartWrite(const void* buffer, uint32_t count) {
  FWriteDeadline = ClampMs(int64_t{count} * FMsPerByte + kWaitMargin);
  WritePending = true;
  Written = TPendingWrite{};
  if (!HandleValid()) return false;
  const auto* data = static_cast<const uint8_t*>(buffer);
  const TLineTime deadline = TLineClock::now() + std::chrono::milliseconds(FWriteDeadline);
  const TWriteOutcome out = Backend->Write(data, count, deadline);
  TraceBurst(true, data, out.Count, 0);
  Written.Result = (out.Status.Ok() && !out.TimedOut) ? static_cast<int>(out.Count) : -1;
  // A write that finds the device gone loses the port, as a read does.
  if (out.Status.Fault == TSerialFault::sfDisconnected && FPortNumber != 0) Reopen();
  return out.Status.Ok();
}

int TRS232o::WaitWrite() {
  if (FPortNumber == 0) return 0;
  if (!WritePending) return 0;
  WritePending = false;
  return Written.Result;
}

int TRS232o::Write(const void* buffer, uint32_t count) {
  StartWrite(buffer, count);
  return WaitWrite();
}

bool TRS232o::PurgeReceive() {
  return HandleValid() && Backend->PurgeReceive().Ok();
}

bool TRS232o::PurgeAll() {
  if (FReadPending) Reading.Aborted = true;
  WritePending = false;
  if (!HandleValid()) return false;
  const bool rx = Backend->PurgeReceive().Ok();
  const bool tx = Backend->PurgeTransmit().Ok();
  return rx && tx;
}

bool TRS232o::ClearErrors() {
  if (!HandleValid()) return false;
  FLastErrors = PendingErrors | Backend->TakeLineErrors();
  PendingErrors = 0;
  return true;
}

bool TRS232o::ReadErrorCounters(TErrorCounters& counters) {
  return HandleValid() && Backend->ReadErrorCounters(counters);
}

bool TRS232o::SetBreak(bool on) {
  return HandleValid() && Backend->SetBreak(on).Ok();
}

bool TRS232o::ClearRts(bool clear) {
  FRtsCleared = clear;
  FLine.RtsOn = !clear;
  return HandleValid() && Backend->SetRts(!clear).Ok();
}

bool TRS232o::ClearDtr(bool clear) {
  FDtrCleared = clear;
  FLine.DtrOn = !clear;
  return HandleValid() && Backend->SetDtr(!clear).Ok();
}

void TRS232o::Close() {
  SetBaud(FBaud == 115200 ? 57600 : 115200);
  if (Backend) Backend->Close();
  Backend.reset();
  FPortNumber = 0;
  WritePending = false;
  FReadPending = false;
}

void TRS232o::Reopen() {
  const uint32_t number = FPortNumber;
  const bool dtrCleared = FDtrCleared;
  const bool rtsCleared = FRtsCleared;
  const int baud = FBaud;
  Close();
  const bool opened = OpenDevice(number);
  FLine.Baud = baud;
  if (opened) {
    Backend->SetLine(FLine);
    ApplyTimeouts(FTimeouts);
    Backend->SetQueueSizes(FReceiveQueue, FTransmitQueue);
    ClearDtr(dtrCleared);
    ClearRts(rtsCleared);
  }
  // PortNumber stays 0: the port counts as lost from here on.
}

void TRS232o::TraceBurst(bool sent, const uint8_t* data, size_t count, uint32_t errors) const {
  if (count == 0 || (!FTrace && !GlobalTraceSet.load(std::memory_order_relaxed))) return;
  TTraceBurst burst;
  burst.Sent = sent;
  burst.When = TLineClock::now();
  burst.Baud = FLine.Baud;
  burst.Parity = FLine.Parity;
  burst.PortNumber = TracedNumber;
  burst.Errors = errors;
  burst.Bytes.assign(data, data + count);
  if (FTrace) {
    FTrace(burst);
    return;
  }
  std::shared_ptr<const TSerialTrace> global;
  {
    std::lock_guard lock(GlobalTraceMutex);
    global = GlobalTrace;
  }
  if (global) (*global)(burst);
}
