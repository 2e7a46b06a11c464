#pragma once
// TRS232o: the tool's one serial-port object. A port is opened by number (see
// PortMap.h for what a number means on this machine); reads and writes are issued
// and then waited for with a deadline derived from the read time-outs or the baud
// rate plus a 100 ms margin, so that a pulled adapter or a stuck driver never hangs
// the caller. A read whose wait runs out abandons the port: the object reopens the
// device with its old settings but counts as closed from then on (PortNumber 0),
// and every user treats the -1 it got as loss of the port.
//
// One object is used by one thread at a time; it has no lock.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "serial/SerialBackend.h"

// The read and write time-outs in milliseconds, as the platform's time-out record.
// MaxTimeout is the platform's "maximum" marker.
constexpr uint32_t MaxTimeout = 0xFFFFFFFFu;
struct TCommTimeouts {
  uint32_t ReadInterval = 0;
  uint32_t ReadPerByte = 0;
  uint32_t ReadConstant = 0;
  uint32_t WritePerByte = 0;
  uint32_t WriteConstant = 0;
};

// A programming fault detected by a unit (e.g. time-outs StartRead cannot honour).
// what() is "Assertion failure"; Unit names the unit.
class EAssertionFailure : public std::logic_error {
 public:
  explicit EAssertionFailure(std::string unit);
  std::string Unit;
};

// Why the last Open failed, in terms a user can act on (see OpenFailureText).
struct TOpenFailure {
  TSerialResult Result;  // Ok() when the last Open succeeded or none was tried
  std::string Path;      // the device path that was tried ("" when the number maps to none)
  uint32_t PortNumber = 0;
  std::string Detail;  // why the line could not be set up, when that was the failure
};

// One burst on the wire, for tracing.
struct TTraceBurst {
  bool Sent = false;  // true host -> device, false device -> host
  TLineTime When;
  int Baud = 0;
  char Parity = 'N';
  uint32_t PortNumber = 0;
  uint32_t Errors = 0;  // line errors of received bytes
  std::vector<uint8_t> Bytes;
};
using TSerialTrace = std::function<void(const TTraceBurst&)>;

class TRS232o {
 public:
  TRS232o();
  ~TRS232o();
  TRS232o(const TRS232o&) = delete;
  TRS232o& operator=(const TRS232o&) = delete;

  bool Open(uint32_t portNumber, int baud, char parity, uint32_t receiveQueue,
            uint32_t transmitQueue);
  // Open over a given backend instead of the one the number maps to (test doubles).
  bool OpenOn(std::unique_ptr<TSerialBackend> backend, uint32_t portNumber, int baud, char parity,
              uint32_t receiveQueue, uint32_t transmitQueue);
  // Applies the line and reads it back: false when the device refused it, or when the
  // parity or the rate (beyond RateTolerancePercent) did not take; then
  // LastConfigureError says why in the user's words.
  bool Configure(int baud, char parity);
  static constexpr int RateTolerancePercent = 3;
  bool SetBaud(int baud);
  bool SetReadTimeouts(int t);
  bool StartRead(void* buffer, uint32_t count);
  int WaitRead();
  int Read(void* buffer, uint32_t count, int first);
  bool StartWrite(const void* buffer, uint32_t count);
  int WaitWrite();
  int Write(const void* buffer, uint32_t count);
  bool PurgeReceive();
  bool PurgeAll();
  bool ClearErrors();
  // The driver's running totals of receive errors by kind; false where it keeps none.
  bool ReadErrorCounters(TErrorCounters& counters);
  bool SetBreak(bool on);
  bool ClearRts(bool clear);
  bool ClearDtr(bool clear);
  void Close();
  void Reopen();

  // ---- state read by the drivers, the updater and the window ----
  uint32_t PortNumber() const { return FPortNumber; }
  int Baud() const { return FBaud; }
  int MsPerByte() const { return FMsPerByte; }
  uint32_t LastErrors() const { return FLastErrors; }
  bool RtsCleared() const { return FRtsCleared; }
  bool DtrCleared() const { return FDtrCleared; }
  char ParityChar() const { return FParityChar; }  // 0 until the first Configure
  const TCommTimeouts& Timeouts() const { return FTimeouts; }
  int ReadDeadline() const { return FReadDeadline; }    // ms, as computed by StartRead
  int WriteDeadline() const { return FWriteDeadline; }  // ms, as computed by StartWrite
  bool ReadPending() const { return FReadPending; }
  bool HandleValid() const;  // the device is open (also after Reopen)
  // The line record as last applied or read back (parity as the device has it).
  const TLineSettings& LineRecord() const { return FLine; }

  // Replaces the whole time-out record (for callers that need a form SetReadTimeouts
  // does not make). Forms that StartRead rejects raise EAssertionFailure there.
  bool SetTimeouts(const TCommTimeouts& timeouts);

  // Why the last Open failed (Result.Ok() if it did not).
  const TOpenFailure& LastOpenError() const { return FLastOpenError; }
  // Why the last Configure failed; empty when it did not.
  const std::string& LastConfigureError() const { return FLastConfigureError; }

  // Tracing of every burst sent and received. A hook set on the object wins over
  // the process-wide hook (SetGlobalSerialTrace).
  void SetTrace(TSerialTrace trace) { FTrace = std::move(trace); }

 private:
  struct TPendingRead {
    uint8_t* Buffer = nullptr;
    uint32_t Count = 0;
    TLineTime Issued;
    bool Aborted = false;
  };
  struct TPendingWrite {
    int Result = 0;  // bytes written, or -1 when the write did not finish in time
  };

  bool OpenDevice(uint32_t portNumber);
  bool AdoptBackend(std::unique_ptr<TSerialBackend> backend, const std::string& path,
                    uint32_t portNumber);
  bool FinishOpen(uint32_t portNumber, int baud, char parity, uint32_t receiveQueue,
                  uint32_t transmitQueue);
  std::string PortWords() const;  // "Com n" of the device
  // Empty when the device holds `wanted`, else words for the user.
  std::string CheckLineTook(const TLineSettings& wanted, const TLineSettings& held) const;
  bool ApplyTimeouts(const TCommTimeouts& timeouts);
  TReadPlan PlanRead(TLineTime issued, uint32_t count) const;
  int ComputeReadDeadline(uint32_t count) const;
  void TraceBurst(bool sent, const uint8_t* data, size_t count, uint32_t errors) const;

  std::unique_ptr<TSerialBackend> Backend;
  TLineSettings FLine;
  uint32_t FReceiveQueue = 0;
  uint32_t FTransmitQueue = 0;
  TCommTimeouts FTimeouts;
  bool FRtsCleared = true;
  bool FDtrCleared = true;
  char FParityChar = 0;
  int FBaud = 0;
  int FMsPerByte = 0;
  uint32_t FPortNumber = 0;
  uint32_t TracedNumber = 0;  // the number the device was opened by, for tracing
  bool FReadPending = false;
  int FReadDeadline = 0;
  int FWriteDeadline = 0;
  TPendingWrite Written;
  TPendingRead Reading;
  uint32_t FLastErrors = 0;
  uint32_t PendingErrors = 0;  // errors of bytes read since the last ClearErrors
  bool WritePending = false;
  TOpenFailure FLastOpenError;
  std::string FLastConfigureError;
  TSerialTrace FTrace;
};

// Process-wide trace hook (e.g. for a --trace switch); empty to switch it off.
// Set it before ports are in use; the hook is called on whichever thread uses a port.
void SetGlobalSerialTrace(TSerialTrace trace);

// The unit's process-wide state is the trace hook; stopping the unit removes it.
void StartUnitSerialPort();
void StopUnitSerialPort();

// Turns the last open failure into a sentence for the user, e.g. what to do about
// "permission denied" on Linux (join the device's group, then log in again).
// Empty when the failure is not an open failure.
std::string OpenFailureText(const TOpenFailure& failure);
