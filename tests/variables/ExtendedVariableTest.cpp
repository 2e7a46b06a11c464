// The variable in memory mode: descriptions, conversions, display and value texts.

#include <gtest/gtest.h>

#include <cmath>

#include "tests/variables/VariableTestSupport.h"
#include "variables/ExtendedVariable.h"

namespace {

class ExtendedVariableTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartVariableUnits(); }
};

struct TParseCase {
  const char* Description;
  bool Ok;
  const char* Error;
  TVariableKind Kind;
  int Address;
  TDataType Type;
  int Bit;
  double Scale;
  int Offset;
  char Format;
};

TEST_F(ExtendedVariableTest, ParsesDescriptions) {
  const TParseCase cases[] = {
      {"$2100 W", true, "", vkMemory, 8448, dtWord, 0, 1.0, 0, '0'},
      {"0 W", true, "", vkMemory, 0, dtWord, 0, 1.0, 0, '0'},
      {"100 S0.1 O5", true, "", vkMemory, 100, dtByte, 0, 0.1, 50, '1'},
      {"100 S0.1 O5 $", true, "", vkMemory, 100, dtByte, 0, 0.1, 50, 'H'},
      {"100 X", false, "X", vkMemory, 100, dtByte, 0, 1.0, 0, '0'},
      {"$21A8^3", true, "", vkMemory, 0x21A8, dtBit, 3, 1.0, 0, '0'},
      {"", true, "", vkNone, 65535, dtByte, 0, 1.0, 0, '0'},
      {" 12,\t i  2 ", true, "", vkMemory, 12, dtSigned, 0, 1.0, 0, '2'},
      {"7 h % v", true, "", vkMemory, 7, dtPacked, 0, 1.0, 0, 'B'},
      {"7 S0.25 O-1 D", true, "", vkMemory, 7, dtByte, 0, 0.25, -4, 'D'},
      // The offset stays in engineering units when parsing stops early.
      {"7 O3 S0.5 Q", false, "Q", vkMemory, 7, dtByte, 0, 0.5, 3, '1'},
      {"$zz W", false, "$zz", vkMemory, 65535, dtByte, 0, 1.0, 0, '0'},
      {"70000 W", false, "70000", vkMemory, 65535, dtByte, 0, 1.0, 0, '0'},
      {"5 Sx", false, "Sx", vkMemory, 5, dtByte, 0, 1.0, 0, '0'},
      {"5 Sinf", false, "Sinf", vkMemory, 5, dtByte, 0, 1.0, 0, '0'},
      {"$2100^16", false, "16", vkMemory, 8448, dtBit, 0, 1.0, 0, '0'},
      {"x^1", false, "x", vkMemory, 65535, dtBit, 0, 1.0, 0, '0'},
  };
  for (const TParseCase& c : cases) {
    SCOPED_TRACE(c.Description);
    TExtendedVariable v;
    QString error;
    EXPECT_EQ(v.Parse(QString::fromLatin1(c.Description), error), c.Ok);
    EXPECT_EQ(error, QString::fromLatin1(c.Error));
    EXPECT_EQ(v.AccessKind, c.Kind);
    EXPECT_EQ(v.Address, c.Address);
    EXPECT_EQ(v.DataType, c.Type);
    EXPECT_EQ(v.BitNumber, c.Bit);
    EXPECT_DOUBLE_EQ(v.Scale, c.Scale);
    EXPECT_EQ(v.Offset, c.Offset);
    EXPECT_EQ(v.DisplayFormat, c.Format);
  }
}

TEST_F(ExtendedVariableTest, ConstructorKeepsCombinedWriteAndStartsUnread) {
  TExtendedVariable v(QStringLiteral("$2100 W"), true);
  EXPECT_TRUE(v.CombinedWrite);
  EXPECT_TRUE(v.ReadFailed);
  EXPECT_EQ(v.GetText(), QStringLiteral("Error during read"));
}

TEST_F(ExtendedVariableTest, DecodesRawBytesPerType) {
  TExtendedVariable v(QStringLiteral("0 W"));
  const int32_t raw = 0x5678FFFE;
  const struct {
    TDataType Type;
    int Bit;
    int32_t Expected;
  } cases[] = {{dtByte, 0, 0xFE}, {dtSigned, 0, -2}, {dtWord, 0, 0xFFFE}, {dtPacked, 0, 0xFFFE},
               {dtBit, 0, 0},     {dtBit, 15, 1},    {dtBit, 16, 0},      {TDataType(5), 0, 0}};
  for (const auto& c : cases) {
    v.DataType = c.Type;
    v.BitNumber = static_cast<uint8_t>(c.Bit);
    EXPECT_EQ(v.DecodeRaw(raw), c.Expected) << int(c.Type) << " bit " << c.Bit;
  }
}

struct TConversionCase {
  TDataType Type;
  double Scale;
  int Offset;
  int32_t Raw;
  double Value;
};

TEST_F(ExtendedVariableTest, ConvertsRawToValue) {
  const TConversionCase cases[] = {
      {dtWord, 0.01, 0, 1234, 12.34},     {dtSigned, 0.1, -5, -20, -2.5},
      {dtByte, 2.0, 1, 255, 512.0},       {dtPacked, 1.0, 0, 0xC000 + 100, 100.0},
      {dtPacked, 0.5, 0, 0x8000 + 5, 10}, {dtPacked, 1.0, 0, 5, 320.0},
      {dtBit, 10.0, 7, 4, 1.0},           {dtBit, 10.0, 7, 0, 0.0},
  };
  for (const TConversionCase& c : cases) {
    TExtendedVariable v(QStringLiteral("0"));
    v.DataType = c.Type;
    v.SetScale(c.Scale);
    v.SetOffset(c.Offset);
    EXPECT_DOUBLE_EQ(v.RawToValue(c.Raw), c.Value) << int(c.Type) << " raw " << c.Raw;
  }
}

struct TToRawCase {
  TDataType Type;
  double Scale;
  int Offset;
  bool ClampFlag;
  double Value;
  int32_t Raw;
};

TEST_F(ExtendedVariableTest, ConvertsValueToRaw) {
  const TToRawCase cases[] = {
      {dtWord, 0.5, 0, true, 61.25, 123},        // 122.5 rounds away from zero
      {dtSigned, 0.5, 0, true, -61.25, -123},    //
      {dtWord, 1.0, 10, true, 15, 5},            // offset in raw units
      {dtByte, 1.0, 0, true, 300, 255},          //
      {dtByte, 1.0, 0, true, -3, 0},             //
      {dtByte, 1.0, 0, false, 300, 300},         //
      {dtSigned, 1.0, 0, true, 40000, 32767},    //
      {dtSigned, 1.0, 0, true, -40000, -32768},  //
      {dtWord, 1.0, 0, true, 70000, 65535},      //
      {dtWord, 1.0, 0, false, 1e300, 2147483647},
      {dtWord, 0.0, 0, true, 5, 0},    // not available
      {dtBit, 1.0, 0, true, 0.5, 1},   //
      {dtBit, 1.0, 0, true, 0.49, 0},  //
      {dtPacked, 1.0, 0, true, 100, 0xC000 + 100},
      {dtPacked, 1.0, 0, true, 20000, 0x8000 + 5000},
      {dtPacked, 1.0, 0, true, 16383.0 * 64 + 100, 16383},
      {dtPacked, 1.0, 0, false, -7, 0xC000},  // no sign in the packed form
  };
  for (const TToRawCase& c : cases) {
    TExtendedVariable v(QStringLiteral("0"));
    v.DataType = c.Type;
    v.SetScale(c.Scale);
    v.SetOffset(c.Offset);
    EXPECT_EQ(v.ValueToRaw(c.ClampFlag, c.Value), c.Raw) << int(c.Type) << " value " << c.Value;
  }
}

TEST_F(ExtendedVariableTest, PackedRoundTripKeepsMagnitude) {
  TExtendedVariable v(QStringLiteral("0 H"));
  for (double x : {0.0, 1.0, 16383.0, 16384.0, 65535.0, 262140.0, 1048000.0}) {
    const double back = v.RawToValue(v.ValueToRaw(true, x));
    EXPECT_NEAR(back, x, std::max(1.0, x / 8000)) << x;
  }
}

TEST_F(ExtendedVariableTest, UpdateDecimalsFollowsScale) {
  const struct {
    double Scale;
    char Format;
  } cases[] = {{1, '0'},     {0.1, '1'},   {0.01, '2'}, {0.25, '2'}, {0.5, '1'},
               {0.001, '3'}, {1e-12, '0'}, {-0.1, '0'}, {0, '0'},    {1.0 / 3, '9'}};
  for (const auto& c : cases) {
    TExtendedVariable v(QStringLiteral("0"));
    v.SetScale(c.Scale);
    EXPECT_EQ(v.DisplayFormat, c.Format) << c.Scale;
  }
}

TEST_F(ExtendedVariableTest, FormatsByDisplayFormat) {
  const struct {
    TDataType Type;
    char Format;
    double Value;
    const char* Text;
  } cases[] = {
      {dtWord, '2', 3.14159, "3.14"},
      {dtWord, '0', 2.4, "2"},
      {dtWord, 'D', -1.5, "-1.500"},
      {dtByte, 'H', 10.9, "$0A"},
      {dtWord, 'H', 4660, "$1234"},
      {dtPacked, 'H', 4660, "$01234"},
      {dtByte, 'B', 5, "%00000101"},
      {dtWord, 'B', 0x8001, "%1000000000000001"},
      {dtPacked, 'B', 3, "%00000000000000000011"},
      {dtWord, 'X', 3, ""},
  };
  for (const auto& c : cases) {
    TExtendedVariable v(QStringLiteral("0"));
    v.DataType = c.Type;
    v.DisplayFormat = c.Format;
    EXPECT_EQ(v.FormatValue(c.Value), QString::fromLatin1(c.Text)) << c.Format << " " << c.Value;
  }
}

TEST_F(ExtendedVariableTest, FormatsHugeAndNonFiniteValuesWithoutFault) {
  TExtendedVariable v(QStringLiteral("0 W $"));
  EXPECT_TRUE(v.FormatValue(1e300).startsWith(u'$'));
  EXPECT_TRUE(v.FormatValue(std::nan("")).startsWith(u'$'));
  v.DisplayFormat = '%';
  EXPECT_TRUE(v.FormatValue(-1e300).isEmpty());
}

TEST_F(ExtendedVariableTest, ParsesNumberTexts) {
  const struct {
    const char* Text;
    bool Ok;
    double Value;
  } cases[] = {
      {"12.5", true, 12.5}, {"-12.5", true, -12.5}, {"$1F", true, 31},   {"-$10", true, -16},
      {"%101", true, 5},    {"1e3", true, 1000},    {".5", true, 0.5},   {"7.", true, 7},
      {"$1f", false, 0},    {"$", false, 0},        {"%102", false, 0},  {"", false, 0},
      {"--5", false, 0},    {"+5", false, 0},       {" 5", false, 0},    {"5x", false, 0},
      {"inf", false, 0},    {"nan", false, 0},      {"1e999", false, 0},
  };
  for (const auto& c : cases) {
    double value = -99;
    EXPECT_EQ(ParseNumberText(QString::fromLatin1(c.Text), value), c.Ok) << c.Text;
    if (c.Ok) {
      EXPECT_DOUBLE_EQ(value, c.Value) << c.Text;
    }
  }
}

TEST_F(ExtendedVariableTest, SetValueTextStoresValueOrZero) {
  TExtendedVariable v(QStringLiteral("0 W S0.1"));
  v.SetValueText(QStringLiteral("$10"));
  EXPECT_EQ(v.RawValue, 160);
  v.SetValueText(QStringLiteral("12.34"));
  EXPECT_EQ(v.RawValue, 123);
  v.SetValueText(QStringLiteral("junk"));
  EXPECT_EQ(v.RawValue, 0);
}

TEST_F(ExtendedVariableTest, SetValueLimitedAppliesMaxThenMin) {
  TExtendedVariable v(QStringLiteral("0 W"));
  v.SetMin(10);
  v.SetMax(100);
  v.SetValueLimited(500);
  EXPECT_EQ(v.RawValue, 100);
  v.SetValueLimited(-500);
  EXPECT_EQ(v.RawValue, 10);
  v.SetValueLimited(70000);  // no type clamp before the limits
  EXPECT_EQ(v.RawValue, 100);
  v.SetMin(200);  // minimum above maximum: the minimum wins
  v.SetValueLimited(150);
  EXPECT_EQ(v.RawValue, 200);
}

TEST_F(ExtendedVariableTest, TextAndChangeTracking) {
  auto driver = MakeFakeDriver();
  TExtendedVariable v(QStringLiteral("$2100 W S0.01"));
  driver->Replies = {Bytes({0x84, 0x34, 0x12})};
  ASSERT_TRUE(v.Read(*driver));
  EXPECT_EQ(v.GetText(), QStringLiteral("46.60"));
  EXPECT_FALSE(v.IsModified());
  v.SetRaw(1);
  EXPECT_TRUE(v.IsModified());
  v.MarkChanged(false);
  EXPECT_FALSE(v.IsModified());
  v.MarkChanged(true);
  EXPECT_EQ(v.GetDeviceValue(), NotReadSentinel);
  v.DataType = dtBit;
  EXPECT_EQ(v.GetText(), QStringLiteral("1"));
  v.SetRaw(0);
  EXPECT_EQ(v.GetText(), QStringLiteral("0"));
  v.DataType = TDataType(7);
  EXPECT_TRUE(v.GetText().isEmpty());
}

}  // namespace
