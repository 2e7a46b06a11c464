#pragma once
// How the simulated equipment puts bytes on its wire, whatever the transport
// (virtual line or pseudo-terminal), and the seeded fault injection on the way.

#include <cstdint>
#include <random>
#include <vector>

#include "serial/VirtualLine.h"
#include "sim/SimTypes.h"

// The transport: bytes towards the PC, each character at a baud rate with an
// optional ninth bit, the first not before `start`.
class TSimSink {
 public:
  virtual ~TSimSink() = default;
  virtual void Emit(const std::vector<TWireByte>& chars, TLineTime start) = 0;
  virtual void CancelPending() = 0;
  virtual void SetVanished(bool vanished) = 0;
};

// The equipment's output. Frames pass the fault injection; raw bytes (echoes,
// streams) go out as they are. Not thread-safe: the equipment set serialises.
class TSimOutput {
 public:
  TSimOutput(TSimSink& sink, const TSimFaults& faults, TSimStats& stats);
  void SetFaults(const TSimFaults& faults);
  const TSimFaults& Faults() const { return FaultSet; }
  void Frame(std::vector<TWireByte> chars, TLineTime start);
  void Frame(const std::vector<uint8_t>& bytes, int baud, TLineTime start, int ninth = -1);
  void Raw(const std::vector<uint8_t>& bytes, int baud, TLineTime start, int ninth = -1);
  static std::vector<TWireByte> Chars(const std::vector<uint8_t>& bytes, int baud, int ninth);
  void Cancel() { Sink.CancelPending(); }
  // Character time in microseconds (start, 8 data, optional ninth, stop bit).
  static int64_t CharMicros(int baud, bool ninth);

 private:
  bool Chance(double probability);

  TSimSink& Sink;
  TSimFaults FaultSet;
  TSimStats& Stats;
  std::mt19937 Random;
};
