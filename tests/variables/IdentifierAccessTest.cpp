// Variable information and writing by index, over a scripted driver.

#include <gtest/gtest.h>

#include "tests/variables/VariableTestSupport.h"
#include "variables/ExtendedVariable.h"
#include "variables/Identifiers.h"
#include "variables/InfoCache.h"

namespace {

class IdentifierAccessTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartVariableUnits(); }
  void SetUp() override { ResetInfoCache(); }

  TFakeDriverPtr Driver = MakeFakeDriver();
};

TExtendedVariable At(uint8_t id) {
  TExtendedVariable v;
  v.SetIdentifier(id);
  return v;
}

struct TRamInfoCase {
  const char* Name;
  std::deque<std::string> Replies;
  bool Result;
  bool Combined;
  TDataType Type;
  double Scale;
  int Offset;
};

TEST_F(IdentifierAccessTest, RamVariableInformationForms) {
  const TRamInfoCase cases[] = {
      {"long form", {Bytes({0x8E, 10, 0}), Bytes({0x8F, 0xFB, 0xFF})}, true, false, dtWord, 10, -5},
      {"long form, zero scale", {Bytes({0x8E, 0, 0})}, true, false, dtWord, 0, 0},
      {"long form, offset missing", {Bytes({0x8E, 10, 0})}, false, false, dtWord, 10, 0},
      {"long form, wrong offset code",
       {Bytes({0x8E, 10, 0}), Bytes({0x8A, 1, 0})},
       false,
       false,
       dtWord,
       10,
       0},
      {"short form", {Bytes({0x8E})}, true, true, dtWord, 0, 0},
      {"combined form", {Bytes({0x8E, 0xF6, 0xFF, 3, 0})}, true, true, dtSigned, 10, 3},
      {"inverse scale", {Bytes({0x8E, 0x00, 0x7F, 0, 0})}, true, true, dtWord, 1.0 / 256, 0},
      {"negative inverse scale",
       {Bytes({0x8E, 0xFF, 0x80, 0, 0})},
       true,
       true,
       dtSigned,
       1.0 / 255,
       0},
      {"scale word -32768", {Bytes({0x8E, 0x00, 0x80, 0, 0})}, true, true, dtSigned, 0, 0},
      {"bit marker", {Bytes({0x8E, 4, 0, 0x00, 0x80})}, true, true, dtBit, 1, 0},
      {"no reply", {}, false, false, dtWord, 0, 0},
      {"wrong code", {Bytes({0x89, 10, 0})}, false, false, dtWord, 0, 0},
  };
  for (const TRamInfoCase& c : cases) {
    SCOPED_TRACE(c.Name);
    auto driver = MakeFakeDriver();
    TExtendedVariable v = At(5);
    driver->Replies = c.Replies;
    EXPECT_EQ(v.ReadInfo(*driver), c.Result);
    EXPECT_EQ(driver->Sent.front(), Bytes({0x36, 4, 0}));
    EXPECT_EQ(v.CombinedWrite, c.Combined);
    EXPECT_EQ(v.DataType, c.Type);
    EXPECT_DOUBLE_EQ(v.Scale, c.Scale);
    EXPECT_EQ(v.Offset, c.Offset);
  }
}

TEST_F(IdentifierAccessTest, RamVariableLimitsAndBitNumber) {
  TExtendedVariable v = At(2);
  Driver->Replies = {Bytes({0x8E, 0xF6, 0xFF, 0, 0})};
  ASSERT_TRUE(v.ReadInfo(*Driver));
  EXPECT_EQ(v.MinRaw, -32768);
  EXPECT_EQ(v.MaxRaw, 32767);
  Driver->Replies = {Bytes({0x8E, 3, 0, 0x00, 0x80})};
  ASSERT_TRUE(v.ReadInfo(*Driver));
  EXPECT_EQ(v.DataType, dtBit);
  EXPECT_EQ(v.BitNumber, 2);  // the scale word counts bits from 1
  EXPECT_EQ(v.MinRaw, 0);
  EXPECT_EQ(v.MaxRaw, 65535);
}

TEST_F(IdentifierAccessTest, UnknownLengthFallsBackToLastGoodAnswer) {
  TExtendedVariable first = At(5);
  Driver->Replies = {Bytes({0x8E, 0xF6, 0xFF, 7, 0})};
  ASSERT_TRUE(first.ReadInfo(*Driver));

  TExtendedVariable again = At(5);
  Driver->Replies = {Bytes({0x8E, 1, 2, 3})};
  EXPECT_TRUE(again.ReadInfo(*Driver));
  EXPECT_TRUE(again.CombinedWrite);
  EXPECT_EQ(again.DataType, dtSigned);
  EXPECT_DOUBLE_EQ(again.Scale, 10);
  EXPECT_EQ(again.Offset, 7);

  TExtendedVariable other = At(6);  // nothing cached for this one
  Driver->Replies = {Bytes({0x8E, 1, 2, 3})};
  EXPECT_TRUE(other.ReadInfo(*Driver));
  EXPECT_FALSE(other.IsAvailable());
}

TEST_F(IdentifierAccessTest, PartialAnswerIsNotCached) {
  TExtendedVariable v = At(5);
  Driver->Replies = {Bytes({0x8E, 10, 0})};  // the offset reply never comes
  EXPECT_FALSE(v.ReadInfo(*Driver));
  EXPECT_EQ(InfoCache().Entries[5].Scale, 0);
  Driver->Replies = {Bytes({0x8E, 10, 0}), Bytes({0x8F, 2, 0})};
  EXPECT_TRUE(v.ReadInfo(*Driver));
  EXPECT_EQ(InfoCache().Entries[5].Scale, 10);
  EXPECT_EQ(InfoCache().Entries[5].Offset, 2);
}

TEST_F(IdentifierAccessTest, SettingLongForm) {
  TExtendedVariable v = At(55);
  Driver->Replies = {Bytes({0x89, 0xF6, 0xFF}), Bytes({0x8A, 2, 0}), Bytes({0x8B, 0x10, 0x05}),
                     Bytes({0x8C, 0xE8, 0x03}), Bytes({0x8D, 0x70, 0x17})};
  EXPECT_TRUE(v.ReadInfo(*Driver));
  EXPECT_EQ(Driver->Sent, std::vector<std::string>{Bytes({0x35, 2, 0})});
  EXPECT_FALSE(v.CombinedWrite);
  EXPECT_EQ(v.DataType, dtSigned);
  EXPECT_DOUBLE_EQ(v.Scale, 0.1);
  EXPECT_EQ(v.DisplayFormat, '1');
  EXPECT_EQ(v.Offset, 2);
  EXPECT_EQ(v.DefaultRaw, 1296);
  EXPECT_EQ(v.MinRaw, 1000);
  EXPECT_EQ(v.MaxRaw, 6000);
}

TEST_F(IdentifierAccessTest, SettingShortAndCombinedForms) {
  TExtendedVariable v = At(126);
  Driver->Replies = {Bytes({0x89, 5, 0, 1, 0, 0x20, 0x00, 0x00, 0x00, 0xFF, 0xFF})};
  EXPECT_TRUE(v.ReadInfo(*Driver));
  EXPECT_EQ(Driver->Sent.back(), Bytes({0x35, 73, 0}));
  EXPECT_TRUE(v.CombinedWrite);
  EXPECT_EQ(v.DataType, dtWord);
  EXPECT_DOUBLE_EQ(v.Scale, 5);
  EXPECT_EQ(v.Offset, 1);
  EXPECT_EQ(v.DefaultRaw, 32);
  EXPECT_EQ(v.MinRaw, 0);
  EXPECT_EQ(v.MaxRaw, 65535);  // unsigned for a word setting

  Driver->Replies = {Bytes({0x89})};
  EXPECT_TRUE(v.ReadInfo(*Driver));
  EXPECT_TRUE(v.CombinedWrite);
  EXPECT_FALSE(v.IsAvailable());
  EXPECT_EQ(v.MaxRaw, 0);
}

TEST_F(IdentifierAccessTest, SignedSettingHasSignedLimits) {
  TExtendedVariable v = At(64);
  Driver->Replies = {Bytes({0x89, 0xF6, 0xFF, 0, 0, 0, 0, 0x9C, 0xFF, 100, 0})};
  ASSERT_TRUE(v.ReadInfo(*Driver));
  EXPECT_EQ(v.MinRaw, -100);
  EXPECT_EQ(v.MaxRaw, 100);
  v.SetValueLimited(-50);  // -500 raw, limited to -100
  EXPECT_EQ(v.RawValue, -100);
}

TEST_F(IdentifierAccessTest, SettingTailStopsAtFirstMissingReply) {
  TExtendedVariable v = At(56);
  Driver->Replies = {Bytes({0x89, 1, 0}), Bytes({0x8A, 3, 0}), Bytes({0x8C, 0, 0})};
  EXPECT_FALSE(v.ReadInfo(*Driver));
  EXPECT_EQ(v.Offset, 3);
  EXPECT_DOUBLE_EQ(v.Scale, 1);
  EXPECT_EQ(Driver->Replies.size(), 0u);  // the wrong reply was taken and refused
}

TEST_F(IdentifierAccessTest, FlagAvailabilityComesFromTheWordMaximum) {
  const struct {
    int Id;
    int MaxWord;
    int DefaultWord;
    double Scale;
    int Default;
  } cases[] = {{17, 0x0001, 0x0001, 1, 1},
               {18, 0x0001, 0x0002, 0, 1},
               {48, 0x8000, 0, 1, 0},
               {52, 0x0008, 0x0008, 1, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Id);
    auto driver = MakeFakeDriver();
    TExtendedVariable v = At(static_cast<uint8_t>(c.Id));
    driver->Replies = {Bytes(
        {0x89, 1, 0, 0, 0, c.DefaultWord, c.DefaultWord >> 8, 0, 0, c.MaxWord, c.MaxWord >> 8})};
    EXPECT_TRUE(v.ReadInfo(*driver));
    EXPECT_EQ(driver->Sent.front()[1], static_cast<char>(v.Address));
    EXPECT_EQ(v.DataType, dtBit);
    EXPECT_DOUBLE_EQ(v.Scale, c.Scale);
    EXPECT_EQ(v.DefaultRaw, c.Default);
    EXPECT_EQ(v.MinRaw, 0);
    EXPECT_EQ(v.MaxRaw, 1);
  }
}

TEST_F(IdentifierAccessTest, NoIdentifierHasNoInformation) {
  TExtendedVariable v(QStringLiteral("$2100 W"), true);
  EXPECT_FALSE(v.ReadInfo(*Driver));
  EXPECT_FALSE(v.CombinedWrite);
  EXPECT_TRUE(Driver->Sent.empty());
}

TEST_F(IdentifierAccessTest, ReadsByIndex) {
  TExtendedVariable ram = At(5);
  Driver->Replies = {Bytes({0x85, 0x10, 0x05})};
  EXPECT_TRUE(ram.Read(*Driver));
  EXPECT_EQ(ram.RawValue, 0x0510);
  TExtendedVariable flag = At(19);
  Driver->Replies = {Bytes({0x86, 0x04, 0x00})};
  EXPECT_TRUE(flag.Read(*Driver));
  EXPECT_EQ(flag.RawValue, 1);
  EXPECT_EQ(Driver->Sent, (std::vector<std::string>{Bytes({0x30, 4, 0}), Bytes({0x31, 0, 0})}));
}

TEST_F(IdentifierAccessTest, WritesByIndex) {
  const struct {
    const char* Name;
    uint8_t Id;
    bool Combined;
    std::deque<std::string> Replies;
    std::deque<bool> Confirms;
    bool Result;
    std::vector<std::string> Frames;
  } cases[] = {
      {"ram, two steps",
       5,
       false,
       {Bytes({0x87})},
       {},
       true,
       {Bytes({0x32, 4, 0}), Bytes({0x34, 0x34, 0x12})}},
      {"setting, two steps",
       126,
       false,
       {Bytes({0x88})},
       {},
       true,
       {Bytes({0x33, 73, 0}), Bytes({0x34, 0x34, 0x12})}},
      {"setting, combined",
       126,
       true,
       {Bytes({0x88, 0})},
       {},
       true,
       {Bytes({0x37, 1, 73, 0x34, 0x12})}},
      {"ram, combined", 5, true, {Bytes({0x87})}, {}, true, {Bytes({0x37, 0, 4, 0x34, 0x12})}},
      {"wrong answer code", 5, true, {Bytes({0x88})}, {}, false, {Bytes({0x37, 0, 4, 0x34, 0x12})}},
      {"no answer", 126, false, {}, {}, false, {Bytes({0x33, 73, 0}), Bytes({0x34, 0x34, 0x12})}},
      {"index refused", 126, false, {Bytes({0x88})}, {false}, false, {Bytes({0x33, 73, 0})}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    auto driver = MakeFakeDriver();
    TExtendedVariable v = At(c.Id);
    v.CombinedWrite = c.Combined;
    v.SetRawValue(0x1234);
    driver->Replies = c.Replies;
    driver->Confirms = c.Confirms;
    EXPECT_EQ(v.Write(*driver), c.Result);
    EXPECT_EQ(driver->Sent, c.Frames);
  }
}

TEST_F(IdentifierAccessTest, FlagWriteChangesOneBitOfTheWord) {
  TExtendedVariable v = At(48);  // bit 15 of setting 1
  v.SetRawValue(1);
  Driver->Replies = {Bytes({0x86, 0x21, 0x00}), Bytes({0x88})};
  EXPECT_TRUE(v.Write(*Driver));
  EXPECT_EQ(Driver->Sent, (std::vector<std::string>{Bytes({0x31, 1, 0}), Bytes({0x33, 1, 0}),
                                                    Bytes({0x34, 0x21, 0x80})}));
  EXPECT_EQ(v.RawValue, 1);
  EXPECT_EQ(v.DataType, dtBit);

  Driver->Sent.clear();
  v.SetRawValue(0);
  Driver->Replies = {Bytes({0x86, 0xFF, 0xFF}), Bytes({0x88})};
  EXPECT_TRUE(v.Write(*Driver));
  EXPECT_EQ(Driver->Sent.back(), Bytes({0x34, 0xFF, 0x7F}));
}

TEST_F(IdentifierAccessTest, FlagWriteSendsNothingWhenTheWordCannotBeRead) {
  TExtendedVariable v = At(17);
  v.SetRawValue(1);
  Driver->Replies = {Bytes({0x86})};
  EXPECT_FALSE(v.Write(*Driver));
  EXPECT_EQ(Driver->Sent, std::vector<std::string>{Bytes({0x31, 0, 0})});
  EXPECT_EQ(v.RawValue, 1);
  EXPECT_EQ(v.DataType, dtBit);
}

}  // namespace
