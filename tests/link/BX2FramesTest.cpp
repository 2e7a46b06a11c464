// The BX2 wire format: every frame is checked byte for byte against known wire
// images; parsing is checked on good, bad and junk input.

#include <gtest/gtest.h>

#include "link/BX2Frames.h"
#include "tests/link/BusDriverTestSupport.h"

namespace {

std::string Unhex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 3)
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

TEST(BX2Frames, InterfaceCommandsMatchTheirWireImages) {
  const std::pair<std::string, const char*> cases[] = {
      {Bytes({'A', 0x01, 0x00}), "04 FF 41 01 00 BB"},
      {BuildStateCommand(DefaultSBlock(), true, false), "09 FF 53 04 00 FF 01 10 00 04 8D"},
      {"D", "02 FF 44 BB"},
      {"L", "02 FF 4C B3"},
      {"V", "02 FF 56 A9"},
      {"R", "02 FF 52 AD"},
      {Bytes({'X', 0x05}), "03 FF 58 05 A1"},
  };
  for (const auto& [text, wire] : cases) EXPECT_EQ(Hex(BuildInterfaceFrame(text)), wire);
}

TEST(BX2Frames, AddressedFrameUsesTheExtendedChecksum) {
  EXPECT_EQ(Hex(BuildAddressedFrame(0, Bytes({0x03}))), "06 21 00 00 00 00 03 C4");
  // Swapped nibbles of p0, p2 and p4 take part: check the rule on another value.
  const std::string frame = BuildAddressedFrame(0x04030201, Bytes({0x10, 0x20}));
  ASSERT_EQ(frame.size(), 9u);
  uint8_t sum = 0;
  for (unsigned char c : frame) sum = static_cast<uint8_t>(sum + c);
  sum = static_cast<uint8_t>(sum + 0x12 /*swap 21*/ + 0x20 /*swap 02*/ + 0x40 /*swap 04*/);
  EXPECT_EQ(sum, 0);
}

TEST(BX2Frames, RawPortFrameStuffsATrailingFF) {
  EXPECT_EQ(Hex(BuildRawPortFrame(Bytes({'S', 0xFF}))), "04 FF 53 FF 00 AB");
  EXPECT_EQ(Hex(BuildRawPortFrame("V")), "02 FF 56 A9");
}

TEST(BX2Frames, CheckFrameAcceptsOnlyPossibleLengthsAndRightSums) {
  TBX2Frame frame;
  ASSERT_TRUE(CheckFrame(Unhex("07 FF 58 82 01 02 03 04 16"), frame));
  EXPECT_EQ(Hex(frame.Message), "FF 58 82 01 02 03 04");
  EXPECT_EQ(frame.Letter(), 'X');
  EXPECT_FALSE(frame.HasStatus);
  EXPECT_EQ(Hex(SplitDeviceReplies(std::string_view(frame.Message).substr(2)).at(0)),
            "82 01 02 03 04");

  EXPECT_FALSE(CheckFrame(Unhex("07 FF 58 82 01 02 03 04 17"), frame));  // checksum
  EXPECT_FALSE(CheckFrame(Unhex("07 FF 58 82 01 02 03 16"), frame));     // size
  EXPECT_FALSE(CheckFrame(Unhex("00 00"), frame));                       // L = 0
  // L = 0x82 leaves no room for two status bytes; 0x83 carries one message byte.
  EXPECT_FALSE(CheckFrame(Unhex("82 20 30 2E"), frame));
  ASSERT_TRUE(CheckFrame(Unhex("83 20 11 22 2A"), frame));
  EXPECT_EQ(Hex(frame.Message), "20");
  EXPECT_TRUE(frame.HasStatus);
  EXPECT_EQ(frame.Status[0], 0x11);
  EXPECT_EQ(frame.Status[1], 0x22);
  EXPECT_FALSE(frame.IsInterfaceFrame());
}

TEST(BX2Frames, StateCommandMapsEachFlagToItsBit) {
  struct TCase {
    int Flag;
    int Byte;  // 5 = w5, 7 = w7
    uint8_t Bit;
  };
  const TCase cases[] = {{sbFlag5, 5, 0x01}, {sbFlag6, 5, 0x02},  {sbFlag7, 5, 0x04},
                         {sbFlag8, 5, 0x08}, {sbFlag11, 5, 0x40}, {sbFlag10, 7, 0x01},
                         {sbFlag9, 7, 0x02}, {sbFlag12, 7, 0x04}};
  TSBlock zero{};
  zero[sbFlag13] = 1;  // w5 bit 7 is set when flag 13 is clear
  for (const auto& c : cases) {
    TSBlock block = zero;
    block[c.Flag] = 1;
    const std::string s = BuildStateCommand(block, false, false);
    ASSERT_EQ(s.size(), 8u);
    EXPECT_EQ(static_cast<uint8_t>(s[c.Byte]), c.Bit) << "flag " << c.Flag;
    EXPECT_EQ(static_cast<uint8_t>(s[c.Byte == 5 ? 7 : 5]), 0) << "flag " << c.Flag;
  }
  const std::string ab = BuildStateCommand(zero, true, true);
  EXPECT_EQ(static_cast<uint8_t>(ab[5]), 0x30);
  TSBlock noFlag13{};
  noFlag13[sbByte3] = 20;
  const std::string s13 = BuildStateCommand(noFlag13, false, false);
  EXPECT_EQ(static_cast<uint8_t>(s13[5]), 0x80);
  EXPECT_EQ(static_cast<uint8_t>(s13[4]), 0xFE);  // 18 - 20, wrapped
}

TEST(BX2Frames, StateReplyLoadsEachFlagFromItsBit) {
  struct TCase {
    int Flag;
    int Byte;  // 6 = p6, 8 = p8
    uint8_t Bit;
  };
  const TCase cases[] = {{sbFlag5, 6, 0x01}, {sbFlag6, 6, 0x02},  {sbFlag7, 6, 0x08},
                         {sbFlag8, 6, 0x10}, {sbFlag11, 6, 0x20}, {sbFlag10, 6, 0x80},
                         {sbFlag9, 8, 0x01}, {sbFlag12, 8, 0x02}};
  for (const auto& c : cases) {
    std::string reply = Bytes({0xFF, 'D', 1, 2, 3, 4, 0, 5, 0});
    reply[static_cast<size_t>(c.Byte)] = static_cast<char>(c.Bit);
    TSBlock block{};
    bool kmbus = true;
    ASSERT_TRUE(LoadStateReply(reply, block, kmbus));
    for (int flag = sbFlag5; flag <= sbFlag12; ++flag)
      EXPECT_EQ(block[flag], flag == c.Flag ? 1 : 0) << "bit for flag " << c.Flag;
    EXPECT_EQ(block[sbFlag13], 1);
    EXPECT_FALSE(kmbus);
    EXPECT_EQ(block[sbByte3], 14);
    EXPECT_EQ(block[sbByte4], 5);
  }
  TSBlock block{};
  bool kmbus = false;
  ASSERT_TRUE(LoadStateReply(Bytes({0xFF, 'D', 0, 0, 0, 0, 0x44, 0, 0}), block, kmbus));
  EXPECT_TRUE(kmbus);
  EXPECT_EQ(block[sbFlag13], 0);
  EXPECT_FALSE(LoadStateReply(Bytes({0xFF, 'D', 0, 0, 0, 0, 0x44, 0}), block, kmbus));
}

TEST(BX2Frames, StatusWordRearrangesTheBits) {
  const std::pair<uint8_t, uint16_t> cases[] = {{0x01, 0x0020}, {0x10, 0x0010}, {0x20, 0x0001},
                                                {0x08, 0x0100}, {0x02, 0x0080}, {0x04, 0x0040},
                                                {0x40, 0x0002}, {0x80, 0x0004}, {0xFF, 0x01F7}};
  for (const auto& [s, word] : cases) {
    bool phase = false;  // becomes true: x = s XOR t, with t = 0
    EXPECT_EQ(StatusWord(s, 0, phase), word) << int(s);
    EXPECT_TRUE(phase);
  }
  bool phase = false;
  EXPECT_EQ(StatusWord(0x01, 0x21, phase), 0x0001);  // XOR on the first evaluation
  EXPECT_EQ(StatusWord(0x01, 0x21, phase), 0x0020);  // the first byte alone on the next
}

TEST(BX2Frames, GroupedRepliesSplitOnlyAtTheirExactLengths) {
  EXPECT_EQ(SplitDeviceReplies(Bytes({0x89, 1, 2, 0x89, 3, 4, 0x89, 5, 6, 0x89, 7, 8})).size(), 4u);
  EXPECT_EQ(SplitDeviceReplies(Bytes({0x8E, 1, 2, 0x8E, 3, 4})).size(), 2u);
  const auto nine = SplitDeviceReplies(Bytes({0x89, 1, 2, 0x89, 3, 4, 0x89, 5, 6}));
  ASSERT_EQ(nine.size(), 1u);
  EXPECT_EQ(nine[0].size(), 9u);
  EXPECT_EQ(SplitDeviceReplies(Bytes({0x8E, 1, 2})).size(), 1u);
}

// Feeds bytes and returns the raw frames the assembler completed.
std::vector<std::string> Assemble(const std::string& bytes, TBX2FrameAssembler& assembler) {
  std::vector<std::string> frames;
  for (unsigned char c : bytes)
    if (assembler.Feed(c)) frames.emplace_back(assembler.Raw());
  return frames;
}

TEST(BX2Frames, AssemblerSkipsImplausibleStartsAndRestartsAfterLineErrors) {
  TBX2FrameAssembler assembler;
  // 0x92 and 0x7F announce 18 and 127 payload bytes: never a frame start.
  auto frames = Assemble(Unhex("92 7F 03 FF 58 05 A1"), assembler);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(Hex(frames[0]), "03 FF 58 05 A1");

  assembler.Feed(0x03);
  assembler.Feed(0xFF);
  assembler.Feed(0x00, true);  // a byte with a line error drops the frame
  EXPECT_EQ(assembler.Position(), 0);
  frames = Assemble(Unhex("02 FF 44 BB"), assembler);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(Hex(frames[0]), "02 FF 44 BB");

  // A bad frame is completed (and then refused by CheckFrame); the next is clean.
  frames = Assemble(Unhex("02 00 00 00 02 FF 44 BB"), assembler);
  ASSERT_EQ(frames.size(), 2u);
  TBX2Frame frame;
  EXPECT_FALSE(CheckFrame(frames[0], frame));
  EXPECT_TRUE(CheckFrame(frames[1], frame));
  EXPECT_TRUE(IsPlausibleLengthByte(0x91));
  EXPECT_FALSE(IsPlausibleLengthByte(0x12));
}

}  // namespace
