#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "support/Format.h"
#include "support/Tools.h"

namespace {

struct TGoodFormat {
  const char* Format;
  TFormatArgs Args;
  const char* Expected;
};

TEST(FormatText, DirectivesWithWidthPrecisionAndIndex) {
  const TGoodFormat cases[] = {
      {"Value %d", {42}, "Value 42"},
      {"%.3d", {7}, "007"},
      {"CalMap%.3d", {19}, "CalMap019"},
      {"%.3d", {-7}, "-007"},
      {"%5d|", {-42}, "  -42|"},
      {"%-5d|", {3}, "3    |"},
      {"%d", {std::numeric_limits<int64_t>::min()}, "-9223372036854775808"},
      {"%u", {4000000000u}, "4000000000"},
      {"%x %.4X", {255, 255}, "FF 00FF"},
      {"[%s]", {"abc"}, "[abc]"},
      {"[%.2s]", {"abc"}, "[ab]"},
      {"[%-6s]", {"abc"}, "[abc   ]"},
      {"%f", {2.5}, "2.50"},
      {"%8.3f", {3.14159}, "   3.142"},
      {"%.0f", {-0.4}, "-0"},
      {"%e", {1500.0}, "1.50000000000000E+003"},
      {"%.3e", {-0.00125}, "-1.25E-003"},
      {"%n", {1234567.891}, "1,234,567.89"},
      {"%g", {0.5}, "0.5"},
      {"100%% sure", {}, "100% sure"},
      {"%1:s %0:s %s", {"a", "b"}, "b a b"},
      {"%*d|%-*d|", {4, 7, 3, 8}, "   7|8  |"},
      {"%s", {"x", 1, 2.0}, "x"},  // extra arguments are ignored
      {"\r\n", {}, "\r\n"},
  };
  for (const TGoodFormat& c : cases) {
    SCOPED_TRACE(c.Format);
    std::string out;
    ASSERT_TRUE(FormatText(c.Format, c.Args, out));
    EXPECT_EQ(out, c.Expected);
  }
}

TEST(FormatText, BadDirectivesFailInsteadOfPrinting) {
  const std::pair<const char*, TFormatArgs> cases[] = {
      {"%d", {}},           // missing argument
      {"%d %d", {1}},       // one short
      {"%d", {"x"}},        // text for an integer
      {"%d", {1.5}},        // floating point for an integer
      {"%s", {5}},          // integer for a text
      {"%f", {5}},          // integer for floating point
      {"%q", {1}},          // unknown type
      {"50%", {}},          // unterminated
      {"%5", {1}},          // no type
      {"%2:d", {1}},        // index beyond the list
      {"%999999d", {1}},    // absurd width
      {"%.99999f", {1.0}},  // absurd precision
      {"%*d", {"w", 1}},    // width that is not an integer
      {"%n %s", {1.0, 2}},  // second directive mismatched
  };
  for (const auto& [format, args] : cases) {
    SCOPED_TRACE(format);
    std::string out;
    EXPECT_FALSE(FormatText(format, args, out));
    EXPECT_EQ(FormatOrEmpty(format, args), "");
  }
}

TEST(RoundHalfAway, HalvesGoAwayFromZero) {
  const std::pair<double, int64_t> cases[] = {
      {2.5, 3},
      {-2.5, -3},
      {2.4999, 2},
      {-2.4999, -2},
      {0.0, 0},
      {0.5, 1},
      {-0.5, -1},
      {1023.9999, 1024},
      {6.4 * 1000, 6400},
      {9007199254740993.0, 9007199254740992},  // beyond double precision: unchanged
      {1e300, std::numeric_limits<int64_t>::max()},
      {-1e300, std::numeric_limits<int64_t>::min()},
  };
  for (const auto& [x, expected] : cases) {
    SCOPED_TRACE(x);
    EXPECT_EQ(RoundHalfAway(x), expected);
  }
  EXPECT_EQ(RoundHalfAway(std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST(HexToBytes, PairsInOrderOrReversed) {
  EXPECT_EQ(HexToBytes("0A1B", false), std::string("\x0A\x1B", 2));
  EXPECT_EQ(HexToBytes("0A1B", true), std::string("\x1B\x0A", 2));
  EXPECT_EQ(HexToBytes("ff00aB", false), std::string("\xFF\x00\xAB", 3));
  EXPECT_EQ(HexToBytes("", false), "");
  EXPECT_EQ(HexToBytes("A", true), "");
  EXPECT_EQ(HexToBytes("0A1", false), std::string("\x0A", 1));  // odd tail ignored
  EXPECT_EQ(HexToBytes("zz41", false), std::string("\x00\x41", 2));
}

TEST(HexDump, UpperCaseAndBlankSeparated) {
  EXPECT_EQ(HexDump(std::string("\x03V\x71\x0A", 4)), "03 56 71 0A");
  EXPECT_EQ(HexDump(std::string()), "");
}

TEST(FindParam, SearchesFromTheLastParameter) {
  SetCommandLineParams({"-a", "|UseStringComments", "x", "-A"});
  EXPECT_EQ(FindParam("-a", false), 1);
  EXPECT_EQ(FindParam("-a", true), 4);  // given twice: the later one
  EXPECT_EQ(FindParam("|usestringcomments", true), 2);
  EXPECT_EQ(FindParam("|usestringcomments", false), 0);
  EXPECT_EQ(FindParam("", true), 0);
  SetCommandLineParams({});
  EXPECT_EQ(FindParam("x", true), 0);
  ClearCommandLineParams();
}

TEST(BitTools, TestSetAndClearAcrossBytes) {
  uint8_t buffer[3] = {0x01, 0x80, 0x00};
  EXPECT_TRUE(TestBit(buffer, 0));
  EXPECT_FALSE(TestBit(buffer, 1));
  EXPECT_TRUE(TestBit(buffer, 15));
  EXPECT_FALSE(TestBit(buffer, 8));
  EXPECT_FALSE(TestAndSetBit(buffer, 8));
  EXPECT_EQ(buffer[1], 0x81);
  EXPECT_TRUE(TestAndSetBit(buffer, 8));  // already set: stays set
  EXPECT_EQ(buffer[1], 0x81);
  EXPECT_FALSE(TestAndClearBit(buffer, 17));  // clear bit stays clear
  EXPECT_EQ(buffer[2], 0x00);
  EXPECT_TRUE(TestAndClearBit(buffer, 15));
  EXPECT_EQ(buffer[1], 0x01);
}

}  // namespace
