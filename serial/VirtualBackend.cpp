// The serial backend over an in-memory line to the simulator.

#include "serial/SerialBackend.h"
#include "serial/VirtualLine.h"

namespace {

class TVirtualBackend final : public TSerialBackend {
 public:
  explicit TVirtualBackend(std::shared_ptr<TVirtualLine> line) : Line(std::move(line)) {}
  ~TVirtualBackend() override { Close(); }

  TSerialResult Open(const std::string&) override {
    if (!Line || Line->Vanished()) return TSerialResult::Failure(TSerialFault::sfNotFound);
    if (IsOpenFlag) return TSerialResult::Failure(TSerialFault::sfInUse);
    if (!Line->HostTryOpen()) {
      return TSerialResult::Failure(Line->Vanished() ? TSerialFault::sfNotFound
                                                     : TSerialFault::sfInUse);
    }
    IsOpenFlag = true;
    return TSerialResult::Success();
  }

  void Close() override {
    if (!IsOpenFlag) return;
    IsOpenFlag = false;
    Line->HostClose();
  }

  bool IsOpen() const override { return IsOpenFlag; }

  TSerialResult GetLine(TLineSettings& line) override {
    if (auto r = Usable(); !r.Ok()) return r;
    const TLineState state = Line->HostState();
    line.Baud = state.Baud > 0 ? state.Baud : 9600;
    line.Parity = state.Parity;
    line.DtrOn = state.Dtr;
    line.RtsOn = state.Rts;
    return TSerialResult::Success();
  }

  TSerialResult SetLine(const TLineSettings& line) override {
    if (auto r = Usable(); !r.Ok()) return r;
    if (line.Baud <= 0) return TSerialResult::Failure(TSerialFault::sfUnsupported);
    Line->HostConfigure(line.Baud, line.Parity);
    Line->HostSetDtr(line.DtrOn);
    Line->HostSetRts(line.RtsOn);
    return TSerialResult::Success();
  }

  TSerialResult SetQueueSizes(uint32_t, uint32_t) override { return Usable(); }

  TReadOutcome Read(uint8_t* data, size_t count, const TReadPlan& plan) override {
    TReadOutcome out;
    out.Status = Usable();
    if (!out.Status.Ok()) {
      out.End = TReadEnd::reFailed;
      return out;
    }
    // "Return after the first byte" is a gap limit shorter than any character time.
    const auto interval = plan.ReturnAfterFirst ? std::chrono::microseconds(1) : plan.Interval;
    const int got = Line->HostRead(data, count, plan.Deadline, interval, &out.Errors);
    if (got < 0) {
      out.Status = TSerialResult::Failure(TSerialFault::sfDisconnected);
      out.End = TReadEnd::reFailed;
      return out;
    }
    out.Count = static_cast<size_t>(got);
    if (out.Count == count) {
      out.End = TReadEnd::reComplete;
    } else if (TLineClock::now() >= plan.Deadline) {
      out.End = TReadEnd::reDeadline;
    } else {
      out.End = TReadEnd::reGap;
    }
    return out;
  }

  TWriteOutcome Write(const uint8_t* data, size_t count, TLineTime) override {
    TWriteOutcome out;
    out.Status = Usable();
    if (!out.Status.Ok()) return out;
    if (!Line->HostWrite(data, count)) {
      out.Status = TSerialResult::Failure(TSerialFault::sfDisconnected);
      return out;
    }
    out.Count = count;
    return out;
  }

  TSerialResult PurgeReceive() override {
    if (auto r = Usable(); !r.Ok()) return r;
    Line->HostPurgeReceive();
    return TSerialResult::Success();
  }

  // Writes complete before they return, so nothing is ever left to discard.
  TSerialResult PurgeTransmit() override { return Usable(); }

  bool ReadErrorCounters(TErrorCounters& counters) override {
    if (!Usable().Ok()) return false;
    counters = Line->HostErrorCounters();
    return true;
  }

  TSerialResult SetDtr(bool on) override {
    if (auto r = Usable(); !r.Ok()) return r;
    Line->HostSetDtr(on);
    return TSerialResult::Success();
  }

  TSerialResult SetRts(bool on) override {
    if (auto r = Usable(); !r.Ok()) return r;
    Line->HostSetRts(on);
    return TSerialResult::Success();
  }

  TSerialResult SetBreak(bool on) override {
    if (auto r = Usable(); !r.Ok()) return r;
    Line->HostSetBreak(on);
    return TSerialResult::Success();
  }

 private:
  TSerialResult Usable() const {
    if (!IsOpenFlag) return TSerialResult::Failure(TSerialFault::sfIo);
    if (Line->Vanished()) return TSerialResult::Failure(TSerialFault::sfDisconnected);
    return TSerialResult::Success();
  }

  std::shared_ptr<TVirtualLine> Line;
  bool IsOpenFlag = false;
};

}  // namespace

std::unique_ptr<TSerialBackend> CreateVirtualBackend(std::shared_ptr<TVirtualLine> line) {
  return std::make_unique<TVirtualBackend>(std::move(line));
}
