#pragma once
// A serial backend over the virtual line that behaves like a weaker adapter driver on
// demand: one that ignores mark and space parity (keeps odd or even), one that offers
// only the standard rates, one whose writes fail, one that keeps no error counters or
// counts a received break as a framing error.

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>

#include "serial/SerialBackend.h"

struct TBackendKnobs {
  std::atomic<bool> DropMarkSpace{false};
  std::atomic<bool> StandardRatesOnly{false};
  std::atomic<bool> FailWrites{false};
  std::atomic<bool> NoCounters{false};
  std::atomic<bool> BreakCountedAsFrame{false};
};

class TBackendDouble final : public TSerialBackend {
 public:
  TBackendDouble(std::shared_ptr<TVirtualLine> line, std::shared_ptr<TBackendKnobs> knobs)
      : Inner(CreateVirtualBackend(std::move(line))), Knobs(std::move(knobs)) {}

  TSerialResult Open(const std::string& path) override { return Inner->Open(path); }
  void Close() override { Inner->Close(); }
  bool IsOpen() const override { return Inner->IsOpen(); }
  TSerialResult GetLine(TLineSettings& line) override { return Inner->GetLine(line); }
  TSerialResult SetLine(const TLineSettings& line) override {
    TLineSettings taken = line;
    if (Knobs->DropMarkSpace && (line.Parity == 'M' || line.Parity == 'S'))
      taken.Parity = line.Parity == 'M' ? 'O' : 'E';  // the driver ignored the "stick" flag
    if (Knobs->StandardRatesOnly) taken.Baud = NearestStandardRate(line.Baud);
    return Inner->SetLine(taken);
  }
  TSerialResult SetQueueSizes(uint32_t receive, uint32_t transmit) override {
    return Inner->SetQueueSizes(receive, transmit);
  }
  TReadOutcome Read(uint8_t* data, size_t count, const TReadPlan& plan) override {
    return Inner->Read(data, count, plan);
  }
  TWriteOutcome Write(const uint8_t* data, size_t count, TLineTime deadline) override {
    if (!Knobs->FailWrites) return Inner->Write(data, count, deadline);
    TWriteOutcome failed;
    failed.Status = TSerialResult::Failure(TSerialFault::sfIo, 5);
    return failed;
  }
  TSerialResult PurgeReceive() override { return Inner->PurgeReceive(); }
  TSerialResult PurgeTransmit() override { return Inner->PurgeTransmit(); }
  uint32_t TakeLineErrors() override { return Inner->TakeLineErrors(); }
  bool ReadErrorCounters(TErrorCounters& counters) override {
    if (Knobs->NoCounters || !Inner->ReadErrorCounters(counters)) return false;
    if (Knobs->BreakCountedAsFrame)
      counters = {counters.Parity, counters.Frame + counters.Break, 0};
    return true;
  }
  TSerialResult SetDtr(bool on) override { return Inner->SetDtr(on); }
  TSerialResult SetRts(bool on) override { return Inner->SetRts(on); }
  TSerialResult SetBreak(bool on) override { return Inner->SetBreak(on); }

  static int NearestStandardRate(int baud) {
    static const int kRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    return *std::min_element(std::begin(kRates), std::end(kRates), [baud](int a, int b) {
      return std::abs(a - baud) < std::abs(b - baud);
    });
  }

 private:
  std::unique_ptr<TSerialBackend> Inner;
  std::shared_ptr<TBackendKnobs> Knobs;
};
