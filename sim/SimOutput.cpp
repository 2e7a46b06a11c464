#include "sim/SimOutput.h"

#include <algorithm>

TSimOutput::TSimOutput(TSimSink& sink, const TSimFaults& faults, TSimStats& stats)
    : Sink(sink), FaultSet(faults), Stats(stats), Random(faults.Seed) {}

void TSimOutput::SetFaults(const TSimFaults& faults) {
  FaultSet = faults;
  Random.seed(faults.Seed);
}

bool TSimOutput::Chance(double probability) {
  // Always draw, so that one fault's setting does not shift the others' sequence.
  double x = std::uniform_real_distribution<double>(0.0, 1.0)(Random);
  return x < probability;
}

int64_t TSimOutput::CharMicros(int baud, bool ninth) {
  if (baud <= 0) return 0;
  return (ninth ? 11 : 10) * 1000000LL / baud;
}

std::vector<TWireByte> TSimOutput::Chars(const std::vector<uint8_t>& bytes, int baud, int ninth) {
  std::vector<TWireByte> chars;
  for (uint8_t b : bytes) chars.push_back(TWireByte{b, static_cast<int8_t>(ninth), baud});
  return chars;
}

void TSimOutput::Frame(const std::vector<uint8_t>& bytes, int baud, TLineTime start, int ninth) {
  Frame(Chars(bytes, baud, ninth), start);
}

void TSimOutput::Frame(std::vector<TWireByte> bytes, TLineTime start) {
  bool drop = Chance(FaultSet.DropReply);
  bool corrupt = Chance(FaultSet.CorruptChecksum);
  bool noise = Chance(FaultSet.NoiseBytes);
  bool late = Chance(FaultSet.LateReply);
  int noiseCount = std::uniform_int_distribution<int>(1, 3)(Random);
  if (drop) {
    ++Stats.FramesDropped;
    return;
  }
  if (corrupt && !bytes.empty())
    bytes.back().Value = static_cast<uint8_t>(bytes.back().Value ^ 0x5A);
  if (late) start = std::max(start, TLineClock::now()) + std::chrono::milliseconds(FaultSet.LateMs);
  if (noise) {
    std::vector<TWireByte> junk;
    for (int i = 0; i < noiseCount; ++i) {
      TWireByte c = bytes.empty() ? TWireByte{} : bytes.front();
      c.Value = static_cast<uint8_t>(std::uniform_int_distribution<int>(0x80, 0xFE)(Random));
      junk.push_back(c);
    }
    Sink.Emit(junk, start);
  }
  Sink.Emit(bytes, start);
  ++Stats.FramesSent;
  if (FaultSet.VanishAfterFrames >= 0 && Stats.FramesSent >= FaultSet.VanishAfterFrames)
    Sink.SetVanished(true);
}

void TSimOutput::Raw(const std::vector<uint8_t>& bytes, int baud, TLineTime start, int ninth) {
  Sink.Emit(Chars(bytes, baud, ninth), start);
}
