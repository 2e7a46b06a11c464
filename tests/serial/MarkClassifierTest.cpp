// What each byte the line discipline marked (FF 00 x) was: parity (the BX1's ninth
// bit), framing error or break, from the driver's counters or, without them, from
// the line settings.

#include <gtest/gtest.h>

#include <vector>

#include "serial/MarkClassifier.h"
#include "serial/VirtualLine.h"

namespace {

// Decodes a raw marked stream and classifies it as one read with the given counter
// increase (none: a driver without counters).
std::vector<TDecodedByte> Read(TMarkClassifier& classifier, const std::vector<uint8_t>& raw,
                               const TErrorCounters& increase = {}) {
  TParityMarkDecoder decoder;
  std::vector<TDecodedByte> out(raw.size() + 1);
  out.resize(decoder.Feed(raw.data(), raw.size(), out.data()));
  classifier.AddCounts(increase);
  classifier.Classify(out.data(), out.size());
  return out;
}

std::vector<uint32_t> Errors(const std::vector<TDecodedByte>& bytes) {
  std::vector<uint32_t> errors;
  for (const auto& b : bytes) errors.push_back(b.Errors);
  return errors;
}

TMarkClassifier Listening(char parity) {
  TMarkClassifier classifier;
  classifier.SetParity(parity);
  return classifier;
}

}  // namespace

TEST(MarkClassifier, CountersTellANinthBitZeroFromABreakAndParityFromFraming) {
  // A BX1 frame 00 34 12 BA whose first byte carries the ninth bit: the parity counter moved.
  TMarkClassifier bx1 = Listening('S');
  auto frame = Read(bx1, {0xFF, 0x00, 0x00, 0x34, 0x12, 0xBA}, {1, 0, 0});
  ASSERT_EQ(frame.size(), 4u);
  EXPECT_EQ(frame[0].Value, 0x00);
  EXPECT_EQ(Errors(frame), (std::vector<uint32_t>{leParity, 0, 0, 0}));
  // The same bytes after a real break: the break counter moved.
  EXPECT_EQ(Read(bx1, {0xFF, 0x00, 0x00}, {0, 0, 1}).at(0).Errors, uint32_t{leBreak});
  // A framing error inside a frame is not a ninth bit, so it cannot start a new frame.
  auto inside = Read(bx1, {0xFF, 0x00, 0x81}, {1, 0, 0});
  inside = Read(bx1, {0xFF, 0x00, 0x35, 0x12}, {0, 1, 0});
  EXPECT_EQ(Errors(inside), (std::vector<uint32_t>{leFraming, 0}));
  // Data bytes 0xFF come doubled and unmarked.
  EXPECT_EQ(Errors(Read(bx1, {0xFF, 0xFF, 0x41, 0xFF, 0xFF})), (std::vector<uint32_t>{0, 0, 0}));
}

TEST(MarkClassifier, CountsDecideByExclusionAndCarryOverToTheNextRead) {
  TMarkClassifier c = Listening('S');
  // Two marks, one parity and one break: 0x35 cannot be the break, so 0x00 is.
  EXPECT_EQ(Errors(Read(c, {0xFF, 0x00, 0x35, 0xFF, 0x00, 0x00}, {1, 0, 1})),
            (std::vector<uint32_t>{leParity, leBreak}));
  // Counted before the byte was read: the increase waits for its mark.
  EXPECT_EQ(Errors(Read(c, {0x41}, {0, 1, 0})), (std::vector<uint32_t>{0}));
  EXPECT_EQ(Read(c, {0xFF, 0x00, 0x42}).at(0).Errors, uint32_t{leFraming});
  // Two kinds that could each fit either byte: both bytes carry both bits, never clean.
  EXPECT_EQ(Errors(Read(c, {0xFF, 0x00, 0x43, 0xFF, 0x00, 0x44}, {1, 1, 0})),
            (std::vector<uint32_t>{leParity | leFraming, leParity | leFraming}));
  // ... and the counts start afresh: the next mark is read by the settings.
  EXPECT_EQ(Read(c, {0xFF, 0x00, 0x45}).at(0).Errors, uint32_t{leParity});
}

TEST(MarkClassifier, WithoutCountersTheLineSettingsGiveTheReading) {
  const struct {
    char Parity;
    uint32_t Zero;  // a marked 0x00
    uint32_t Other;
  } cases[] = {{'S', leParity, leParity},
               {'M', leParity, leParity},
               {'E', leBreak, leParity},
               {'O', leBreak, leParity},
               {'N', leBreak, leFraming}};
  for (const auto& k : cases) {
    TMarkClassifier c = Listening(k.Parity);
    EXPECT_EQ(Errors(Read(c, {0xFF, 0x00, 0x00, 0xFF, 0x00, 0x42})),
              (std::vector<uint32_t>{k.Zero, k.Other}))
        << k.Parity;
  }
}
