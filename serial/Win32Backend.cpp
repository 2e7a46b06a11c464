// The serial backend for a COM port on Windows: overlapped I/O on "\\.\COMn", the
// line record (DCB), the driver's own read time-outs, and ClearCommError for the
// line errors.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <chrono>

#include "serial/SerialBackend.h"

namespace {

using namespace std::chrono;

TSerialFault FaultOfOpenError(DWORD e) {
  switch (e) {
    case ERROR_ACCESS_DENIED:  // the port is held by another program
    case ERROR_SHARING_VIOLATION:
      return TSerialFault::sfInUse;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return TSerialFault::sfNotFound;
    default:
      return TSerialFault::sfIo;
  }
}

// What a removed USB adapter's driver answers on the handle that is still open.
bool IsGoneError(DWORD e) {
  return e == ERROR_DEVICE_NOT_CONNECTED || e == ERROR_BAD_COMMAND || e == ERROR_GEN_FAILURE ||
         e == ERROR_ACCESS_DENIED || e == ERROR_INVALID_HANDLE || e == ERROR_FILE_NOT_FOUND ||
         e == ERROR_DEVICE_REMOVED;
}

TSerialResult FailureOf(DWORD e) {
  return TSerialResult::Failure(IsGoneError(e) ? TSerialFault::sfDisconnected : TSerialFault::sfIo,
                                static_cast<int>(e));
}

TSerialResult LastFailure() {
  return FailureOf(GetLastError());
}

DWORD MsUntil(TLineTime when) {
  if (when == TLineTime::max()) return INFINITE;
  const auto left = duration_cast<milliseconds>(when - TLineClock::now()).count();
  return static_cast<DWORD>(std::clamp<int64_t>(left, 0, 0x7FFFFFFF));
}

// An overlapped record with its own manual-reset event.
class TOverlapped {
 public:
  TOverlapped() { Record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~TOverlapped() {
    if (Record.hEvent) CloseHandle(Record.hEvent);
  }
  TOverlapped(const TOverlapped&) = delete;
  TOverlapped& operator=(const TOverlapped&) = delete;
  OVERLAPPED* Get() {
    const HANDLE event = Record.hEvent;
    Record = OVERLAPPED{};
    Record.hEvent = event;
    ResetEvent(event);
    return &Record;
  }
  HANDLE Event() const { return Record.hEvent; }

 private:
  OVERLAPPED Record{};
};

class TWin32Backend final : public TSerialBackend {
 public:
  ~TWin32Backend() override { Close(); }

  TSerialResult Open(const std::string& path) override {
    Close();
    Handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
    if (Handle == INVALID_HANDLE_VALUE) {
      const DWORD e = GetLastError();
      return TSerialResult::Failure(FaultOfOpenError(e), static_cast<int>(e));
    }
    COMMTIMEOUTS none{};
    SetCommTimeouts(Handle, &none);
    return TSerialResult::Success();
  }

  void Close() override {
    if (Handle == INVALID_HANDLE_VALUE) return;
    CloseHandle(Handle);
    Handle = INVALID_HANDLE_VALUE;
    PendingErrors = 0;
  }

  bool IsOpen() const override { return Handle != INVALID_HANDLE_VALUE; }

  TSerialResult GetLine(TLineSettings& line) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(Handle, &dcb)) return LastFailure();
    static const char kLetters[] = {'N', 'O', 'E', 'M', 'S'};
    line.Baud = static_cast<int>(dcb.BaudRate);
    line.Parity = dcb.Parity <= SPACEPARITY ? kLetters[dcb.Parity] : 'N';
    line.DtrOn = dcb.fDtrControl == DTR_CONTROL_ENABLE;
    line.RtsOn = dcb.fRtsControl == RTS_CONTROL_ENABLE;
    return TSerialResult::Success();
  }

  TSerialResult SetLine(const TLineSettings& line) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(Handle, &dcb)) return LastFailure();
    DCB next{};  // every flag bit cleared
    next.DCBlength = sizeof next;
    next.fBinary = TRUE;
    next.fRtsControl = line.RtsOn ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    next.fDtrControl = line.DtrOn ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    next.BaudRate = static_cast<DWORD>(line.Baud);
    next.ByteSize = 8;
    next.StopBits = ONESTOPBIT;
    switch (line.Parity) {
      case 'O':
        next.Parity = ODDPARITY;
        break;
      case 'E':
        next.Parity = EVENPARITY;
        break;
      case 'M':
        next.Parity = MARKPARITY;
        break;
      case 'S':
        next.Parity = SPACEPARITY;
        break;
      case 'N':
        next.Parity = NOPARITY;
        break;
      default:
        next.Parity = dcb.Parity;
        break;
    }
    next.XonLim = dcb.XonLim;
    next.XoffLim = dcb.XoffLim;
    next.XonChar = dcb.XonChar;
    next.XoffChar = dcb.XoffChar;
    next.ErrorChar = dcb.ErrorChar;
    next.EofChar = dcb.EofChar;
    next.EvtChar = dcb.EvtChar;
    return SetCommState(Handle, &next) ? TSerialResult::Success() : LastFailure();
  }

  TSerialResult SetQueueSizes(uint32_t receive, uint32_t transmit) override {
    return SetupComm(Handle, receive, transmit) ? TSerialResult::Success() : LastFailure();
  }

  // The read takes what the driver already holds (ClearCommError tells how much),
  // then waits for more under the driver's time-outs. The "return after the first
  // byte" and "return at once" time-out combinations are avoided: not every COM
  // driver implements them (wine's waits for data in both).
  TReadOutcome Read(uint8_t* data, size_t count, const TReadPlan& plan) override {
    TReadOutcome out;
    if (!IsOpen()) {
      ReadFailed(out, TSerialResult::Failure(TSerialFault::sfIo, ERROR_INVALID_HANDLE));
      return out;
    }
    if (!TakeQueued(data, count, out)) return out;
    if (out.Count == count) return Ended(out, TReadEnd::reComplete);
    if (out.Count > 0 && plan.ReturnAfterFirst) return Ended(out, TReadEnd::reGap);
    DWORD left = MsUntil(plan.Deadline);
    if (left == 0) return Ended(out, TReadEnd::reDeadline);

    COMMTIMEOUTS t{};
    DWORD want = static_cast<DWORD>(count - out.Count);
    if (plan.ReturnAfterFirst) {
      want = 1;
    } else if (plan.Interval.count() > 0) {
      t.ReadIntervalTimeout = IntervalMs(plan.Interval);
      // Bytes taken above count as the last arrival: the gap runs from now.
      if (out.Count > 0) left = std::min(left, t.ReadIntervalTimeout);
    }
    t.ReadTotalTimeoutConstant = left == INFINITE ? 0 : left;
    DWORD got = 0;
    if (!TimedRead(data + out.Count, want, t, got, out)) return out;
    out.Count += got;
    if (plan.ReturnAfterFirst && got > 0 && !TakeQueued(data, count, out)) return out;
    if (out.Count == count) return Ended(out, TReadEnd::reComplete);
    if (plan.ReturnAfterFirst && out.Count > 0) return Ended(out, TReadEnd::reGap);
    return Ended(out, TLineClock::now() >= plan.Deadline ? TReadEnd::reDeadline : TReadEnd::reGap);
  }

  TWriteOutcome Write(const uint8_t* data, size_t count, TLineTime deadline) override {
    TWriteOutcome out;
    OVERLAPPED* o = Writing.Get();
    if (!WriteFile(Handle, data, static_cast<DWORD>(count), nullptr, o) &&
        GetLastError() != ERROR_IO_PENDING) {
      out.Status = LastFailure();
      return out;
    }
    DWORD done = 0;
    if (WaitForSingleObject(Writing.Event(), MsUntil(deadline)) != WAIT_OBJECT_0) {
      // Cancel rather than leave the caller's buffer in the driver's hands.
      CancelIo(Handle);
      GetOverlappedResult(Handle, o, &done, TRUE);
      out.Count = done;
      out.TimedOut = true;
      return out;
    }
    if (!GetOverlappedResult(Handle, o, &done, FALSE)) out.Status = AbortedOrGone(GetLastError());
    out.Count = done;
    return out;
  }

  TSerialResult PurgeReceive() override { return Purge(PURGE_RXCLEAR); }
  TSerialResult PurgeTransmit() override {
    return Purge(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR);
  }

  // ClearCommError's CE_* bits have the values of our le* bits.
  uint32_t TakeLineErrors() override {
    DWORD errors = 0;
    if (IsOpen() && ClearCommError(Handle, &errors, nullptr)) PendingErrors |= errors;
    const auto taken = static_cast<uint32_t>(PendingErrors);
    PendingErrors = 0;
    return taken;
  }

  TSerialResult SetDtr(bool on) override { return Escape(on ? SETDTR : CLRDTR); }
  TSerialResult SetRts(bool on) override { return Escape(on ? SETRTS : CLRRTS); }
  TSerialResult SetBreak(bool on) override { return Escape(on ? SETBREAK : CLRBREAK); }

 private:
  TSerialResult Purge(DWORD flags) {
    return PurgeComm(Handle, flags) ? TSerialResult::Success() : LastFailure();
  }

  static TReadOutcome& Ended(TReadOutcome& out, TReadEnd end) {
    out.End = end;
    return out;
  }

  // Marks the read failed with `status`; false, for the helpers below to return.
  static bool ReadFailed(TReadOutcome& out, TSerialResult status) {
    out.Status = status;
    Ended(out, TReadEnd::reFailed);
    return false;
  }

  static DWORD IntervalMs(std::chrono::microseconds interval) {
    const auto ms = (interval.count() + 999) / 1000;  // never shorter than asked
    return static_cast<DWORD>(std::clamp<int64_t>(ms, 1, 0x7FFFFFFF));
  }

  // Moves what the driver has already received (up to the caller's room) into
  // `data` after the bytes taken so far. False when the port failed (out says how).
  bool TakeQueued(uint8_t* data, size_t count, TReadOutcome& out) {
    COMSTAT stat{};
    DWORD errors = 0;
    if (!ClearCommError(Handle, &errors, &stat)) return ReadFailed(out, LastFailure());
    PendingErrors |= errors;
    const DWORD take = static_cast<DWORD>(std::min<size_t>(stat.cbInQue, count - out.Count));
    if (take == 0) return true;
    COMMTIMEOUTS t{};
    t.ReadTotalTimeoutConstant = kQueuedReadMs;  // the bytes are there: only a guard
    DWORD got = 0;
    if (!TimedRead(data + out.Count, take, t, got, out)) return false;
    out.Count += got;
    return true;
  }

  // One overlapped read of `want` bytes under the time-outs `t`. False when the
  // read failed or was cancelled (out says how); `got` holds what arrived.
  bool TimedRead(uint8_t* data, DWORD want, COMMTIMEOUTS t, DWORD& got, TReadOutcome& out) {
    got = 0;
    if (!SetCommTimeouts(Handle, &t)) return ReadFailed(out, LastFailure());
    OVERLAPPED* o = Reading.Get();
    if (!ReadFile(Handle, data, want, nullptr, o) && GetLastError() != ERROR_IO_PENDING)
      return ReadFailed(out, LastFailure());
    // The driver's time-outs end the read; the margin only guards a stuck driver.
    const DWORD total = t.ReadTotalTimeoutConstant;
    const DWORD guard = total == 0 ? INFINITE : total + t.ReadIntervalTimeout + 50;
    if (WaitForSingleObject(Reading.Event(), guard) != WAIT_OBJECT_0) {
      CancelIo(Handle);
      GetOverlappedResult(Handle, o, &got, TRUE);
      return true;
    }
    if (GetOverlappedResult(Handle, o, &got, FALSE)) return true;
    const DWORD e = GetLastError();
    // A read ended by its time-outs is a normal end; some drivers report it so.
    if (e == ERROR_TIMEOUT) return true;
    out.Count += got;
    got = 0;
    if (e == ERROR_OPERATION_ABORTED && StillThere()) {
      Ended(out, TReadEnd::reCancelled);
      return false;
    }
    return ReadFailed(out, AbortedOrGone(e));
  }

  // A purge aborts transfers too; a removed adapter aborts them and then refuses
  // every call on its handle.
  bool StillThere() {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(Handle, &errors, &stat)) return false;
    PendingErrors |= errors;
    return true;
  }

  TSerialResult AbortedOrGone(DWORD e) {
    if (e == ERROR_OPERATION_ABORTED && !StillThere())
      return TSerialResult::Failure(TSerialFault::sfDisconnected, static_cast<int>(e));
    return FailureOf(e);
  }

  TSerialResult Escape(DWORD function) {
    return EscapeCommFunction(Handle, function) ? TSerialResult::Success() : LastFailure();
  }

  static constexpr DWORD kQueuedReadMs = 100;

  HANDLE Handle = INVALID_HANDLE_VALUE;
  DWORD PendingErrors = 0;  // line errors seen while reading, for TakeLineErrors
  TOverlapped Reading;
  TOverlapped Writing;
};

}  // namespace

std::unique_ptr<TSerialBackend> CreatePlatformBackend() {
  return std::make_unique<TWin32Backend>();
}
