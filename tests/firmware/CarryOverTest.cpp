#include <gtest/gtest.h>

#include <map>
#include <string>

#include "firmware/CarryOver.h"
#include "variables/ExtendedVariable.h"

namespace {

// Device memory as a map of bytes, with an optional failing address.
class TMemory {
 public:
  void SetWord(int address, int value) {
    Bytes[address] = value & 0xFF;
    Bytes[address + 1] = (value >> 8) & 0xFF;
  }
  int Word(int address) const { return Byte(address) | (Byte(address + 1) << 8); }
  int Byte(int address) const {
    auto it = Bytes.find(address);
    return it == Bytes.end() ? 0 : it->second;
  }
  TCalibrationAccess Access() {
    return [this](int address, int32_t& value, std::string& error, int dataType, bool read) {
      if (address == FailAt) {
        error = "General error occurred.";
        return false;
      }
      ++Accesses;
      const int width = dataType == dtByte ? 1 : 2;
      if (read) {
        value = width == 1 ? Byte(address) : Word(address);
      } else {
        ++Writes;
        Bytes[address] = value & 0xFF;
        if (width == 2) Bytes[address + 1] = (value >> 8) & 0xFF;
      }
      return true;
    };
  }
  std::map<int, int> Bytes;
  int FailAt = -1;
  int Accesses = 0;
  int Writes = 0;
};

std::string Offsets(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

std::string NoUnhandledText(const std::string& hex) {
  return "unhandled " + hex;
}

TEST(ScaledFormat, EncodesAtTheBoundaries) {
  struct TCase {
    int64_t Value;
    bool Fits;
    uint16_t Word;
  };
  const TCase cases[] = {
      {0, true, 0xC000},       {0x3FFF, true, 0xFFFF}, {0x4000, true, 0x9000},
      {0x4002, true, 0x9000},  // 4002 / 4 = 1000.8 -> 1000 (half to even)
      {0x4006, true, 0x9002},  // 4006 / 4 = 1001.8 -> 1002
      {0xFFFDF, true, 0x3FFF}, {0xFFFE0, false, 0},    {-1, false, 0},
  };
  for (const TCase& c : cases) {
    uint16_t word = 0;
    EXPECT_EQ(EncodeScaled(c.Value, word), c.Fits) << std::hex << c.Value;
    if (c.Fits) {
      EXPECT_EQ(word, c.Word) << std::hex << c.Value;
    }
  }
}

TEST(ScaledFormat, DecodesEveryExponent) {
  EXPECT_EQ(DecodeScaled(0xFFFF), 0x3FFF);
  EXPECT_EQ(DecodeScaled(0x9000), 0x4000);
  EXPECT_EQ(DecodeScaled(0x4001), 16);
  EXPECT_EQ(DecodeScaled(0x5001), 0x1001 * 16);
  EXPECT_EQ(DecodeScaled(0x0001), 64);
  // Whatever fits comes back within the rounding of its exponent.
  for (int64_t x : {1, 100, 0x3FFF, 0x4001, 0x12345, 0xFFFDF}) {
    uint16_t word = 0;
    ASSERT_TRUE(EncodeScaled(x, word));
    EXPECT_LE(std::abs(DecodeScaled(word) - x), 32) << x;
  }
}

TEST(ScaledFormat, DividesRoundingHalfToEven) {
  EXPECT_EQ(DivRoundHalfEven(5, 2), 2);
  EXPECT_EQ(DivRoundHalfEven(7, 2), 4);
  EXPECT_EQ(DivRoundHalfEven(30000, 20000), 2);
  EXPECT_EQ(DivRoundHalfEven(10000, 20000), 0);
  EXPECT_EQ(DivRoundHalfEven(10001, 20000), 1);
}

TEST(AddedCalibrations, ListsNewBitsLowestFirst) {
  std::string oldConfig(32, '\0'), newConfig(32, '\0');
  newConfig[21] = '\x01';  // offset 168
  newConfig[22] = '\x81';  // 176 and 183
  oldConfig[22] = '\x80';  // 183 was there already
  newConfig[28] = '\x01';  // 224
  EXPECT_EQ(AddedCalibrationOffsets(oldConfig, newConfig, false), Offsets({168, 176, 224}));
  EXPECT_EQ(AddedCalibrationOffsets(newConfig, newConfig, false), "");
  // Bits the old firmware had and the new one drops are not "added".
  EXPECT_EQ(AddedCalibrationOffsets(newConfig, oldConfig, false), "");
}

TEST(AddedCalibrations, MissingBytesCountAsZero) {
  const std::string shortOld(22, '\0');  // ends before byte 22
  std::string newConfig(32, '\0');
  newConfig[22] = '\x01';
  EXPECT_EQ(AddedCalibrationOffsets(shortOld, newConfig, false), Offsets({176}));
  // A shorter new configuration adds nothing beyond its end.
  std::string oldConfig(32, '\0');
  EXPECT_EQ(AddedCalibrationOffsets(oldConfig, std::string(2, '\xFF'), false).size(), 16u);
  // Offsets past the 256-byte data area are never reported.
  EXPECT_EQ(AddedCalibrationOffsets(std::string(), std::string(40, '\xFF'), false).size(), 256u);
}

TEST(AddedCalibrations, LongConfigurationPairsCoverFourteenOffsets) {
  std::string oldConfig(38, '\0'), newConfig(38, '\0');
  newConfig[0] = '\x01';   // pair 0, first byte: offset 0
  newConfig[1] = '\xFF';   // pair 0, second byte: only 8..13
  newConfig[24] = '\x01';  // pair 12, first byte: 168
  newConfig[25] = '\x01';  // pair 12, second byte: 176
  EXPECT_EQ(AddedCalibrationOffsets(oldConfig, newConfig, true),
            Offsets({0, 8, 9, 10, 11, 12, 13, 168, 176}));
  // The last pairs reach past offset 255 and are cut there.
  const std::string all = AddedCalibrationOffsets(oldConfig, std::string(38, '\xFF'), true);
  EXPECT_EQ(all.size(), 256u);
  EXPECT_EQ(static_cast<uint8_t>(all.back()), 255);
}

TEST(CalibrationMaps, DefaultsAndKeys) {
  auto offsets = [](const std::string& map) { return AddedCalibrationOffsets({}, map, false); };
  std::string expected;
  for (int o = 177; o <= 224; ++o) expected.push_back(static_cast<char>(o));
  EXPECT_EQ(offsets(DefaultCalibrationMap(1)), expected);
  EXPECT_EQ(offsets(DefaultCalibrationMap(109)), expected);
  EXPECT_EQ(offsets(DefaultCalibrationMap(28)), Offsets({176}) + expected);
  EXPECT_EQ(offsets(DefaultCalibrationMap(152)).front(), '\xB0');
  EXPECT_EQ(static_cast<uint8_t>(offsets(DefaultCalibrationMap(204)).front()), 168);
  EXPECT_EQ(DefaultCalibrationMap(204).size(), 32u);
  for (int none : {0, 29, 99, 144, 149, 153, 199, 205, 255}) {
    EXPECT_TRUE(DefaultCalibrationMap(none).empty()) << none;
  }
  EXPECT_EQ(CalibrationMapKey(7), "CalMap007");
  EXPECT_EQ(CalibrationMapKey(2606207), "CalMap207");
  EXPECT_EQ(CalibrationMapKey(0), "CalMap000");
}

TEST(CalibrationConversions, ConversionARoundsHalfAwayFromZero) {
  // 7 x 6.4 = 44.8 and 10239 x 6.4 = 65529.6 round up: truncation would give 44 and 65529.
  for (auto [source, expected] :
       {std::pair{1003, 6419}, {5, 32}, {0, 0}, {10, 64}, {7, 45}, {10239, 65530}}) {
    TMemory memory;
    memory.SetWord(caSourceA, source);
    std::string error;
    ApplyCalibrationConversions(Offsets({168}), memory.Access(), NoUnhandledText, error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(memory.Word(caTargetA1), expected) << source;
    EXPECT_EQ(memory.Word(caTargetA2), expected) << source;
  }
}

TEST(CalibrationConversions, ConversionAAboveAWordIsRefusedBeforeAnyWrite) {
  // 10240 x 6.4 = 65536: its low 16 bits would store 0.
  for (int source : {10240, 10241, 0xFFFF}) {
    TMemory memory;
    memory.SetWord(caSourceA, source);
    memory.SetWord(caTargetA1, 0x1234);
    std::string error;
    ApplyCalibrationConversions(Offsets({168, 224}), memory.Access(), NoUnhandledText, error);
    EXPECT_EQ(error, ScaleDoesNotFit) << source;
    // Offset 224 ran first (last to first); conversion A wrote nothing.
    EXPECT_EQ(memory.Writes, 1) << source;
    EXPECT_EQ(memory.Word(caTargetA1), 0x1234) << source;
    EXPECT_EQ(memory.Word(caTargetA2), 0) << source;
  }
}

TEST(CalibrationConversions, ConversionBSeedsCopiesAndMultiplies) {
  TMemory memory;
  const int base[5] = {1000, 2000, 3000, 4000, 5000};
  for (int k = 0; k < 5; ++k) memory.SetWord(caBaseB + 2 * k, base[k]);
  std::string error;
  ASSERT_TRUE(ConvertCalibrationB(memory.Access(), error)) << error;
  // Seeded with V1 = 2 x 1000; V2..V5 as they were.
  const int64_t v1 = 2000, v2 = 2000, v3 = 3000, v4 = 4000, v5 = 5000;
  const int64_t products[5] = {v5 * v3, v4 * v3, v5 * v1, v4 * v1, v2 * v1};
  for (int k = 0; k < 5; ++k) {
    uint16_t word = 0;
    ASSERT_TRUE(EncodeScaled(DivRoundHalfEven(products[k], 20000), word));
    EXPECT_EQ(memory.Word(caDerivedB + 2 * k), word) << k;
  }
  // The bases now hold the encoded seeds (the last one copied over the marker).
  EXPECT_EQ(memory.Word(caBaseB), 0xC000 + 2000);
  EXPECT_EQ(memory.Word(caBaseB + 8), 0xC000 + 5000);
}

TEST(CalibrationConversions, ConversionBWithMarkerElevenOnlyRecomputes) {
  TMemory memory;
  const int base[5] = {0xC000 + 400, 0xC000 + 500, 0xC000 + 600, 0xC000 + 700, 0xC000 + 800};
  for (int k = 0; k < 5; ++k) memory.SetWord(caBaseB + 2 * k, base[k]);
  for (int k = 0; k < 5; ++k) memory.SetWord(caDerivedB + 2 * k, 0x1234);
  std::string error;
  ASSERT_TRUE(ConvertCalibrationB(memory.Access(), error));
  for (int k = 0; k < 5; ++k) EXPECT_EQ(memory.Word(caBaseB + 2 * k), base[k]);
  // V5 x V3 / 20000 = 800 x 600 / 20000 = 24; V2 x V1 / 20000 = 10.
  EXPECT_EQ(memory.Word(caDerivedB), 0xC000 + 24);
  EXPECT_EQ(memory.Word(caDerivedB + 8), 0xC000 + 10);
}

TEST(CalibrationConversions, ConversionBMarkerOneCopiesDerivedValues) {
  TMemory memory;
  memory.SetWord(caBaseB + 8, 0x4000 | 7);  // marker 01: already seeded once
  for (int k = 0; k < 5; ++k) memory.SetWord(caDerivedB + 2 * k, 0xC000 + 200 * (k + 1));
  std::string error;
  ASSERT_TRUE(ConvertCalibrationB(memory.Access(), error));
  EXPECT_EQ(memory.Word(caBaseB), 0xC000 + 200);
  EXPECT_EQ(memory.Word(caBaseB + 8), 0xC000 + 1000);
  EXPECT_EQ(memory.Word(caDerivedB), 0xC000 + 1000 * 600 / 20000);
}

TEST(CalibrationConversions, ProductThatDoesNotFitStopsBeforeWriting) {
  TMemory memory;
  // V1..V4 = 3FFF x 64 (exponent 0); V5 = 3FFF with the marker 11.
  for (int k = 0; k < 4; ++k) memory.SetWord(caBaseB + 2 * k, 0x3FFF);
  memory.SetWord(caBaseB + 8, 0xFFFF);
  std::string error;
  EXPECT_FALSE(ConvertCalibrationB(memory.Access(), error));
  EXPECT_EQ(error, ScaleDoesNotFit);
  // V5 x V3 / 20000 still fits and is written; V4 x V3 / 20000 does not.
  EXPECT_EQ(memory.Writes, 1);
  EXPECT_NE(memory.Word(caDerivedB), 0);
  EXPECT_EQ(memory.Word(caDerivedB + 2), 0);
}

TEST(CalibrationConversions, RunsLastOffsetFirstAndStopsAtTheFirstError) {
  TMemory memory;
  memory.SetWord(caSourceA, 10);
  std::string error;
  // 224 marks the carry-over pending; 170 needs nothing; 0xB2 is unknown.
  ApplyCalibrationConversions(Offsets({0xB2, 170, 168, 224}), memory.Access(), NoUnhandledText,
                              error);
  EXPECT_EQ(error, "unhandled B2");
  EXPECT_EQ(memory.Byte(caStatus), 0x80);
  EXPECT_EQ(memory.Word(caTargetA1), 64);

  TMemory failing;
  failing.FailAt = caTargetA2;
  ApplyCalibrationConversions(Offsets({168, 224}), failing.Access(), NoUnhandledText, error);
  EXPECT_EQ(error, "General error occurred.");
  EXPECT_EQ(failing.Byte(caStatus), 0x80);

  TMemory quiet;
  ApplyCalibrationConversions(Offsets({169, 175, 177}), quiet.Access(), NoUnhandledText, error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(quiet.Accesses, 0);
}

}  // namespace
