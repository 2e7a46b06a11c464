// The console's --get NAME and --set NAME=VALUE over a scripted driver: the bytes
// sent, the line printed and the kind of each failure (which gives the exit status).

#include <gtest/gtest.h>

#include "app/console/Exit.h"
#include "app/console/NamedValueText.h"
#include "tests/variables/VariableTestSupport.h"
#include "variables/InfoCache.h"

namespace {

class NamedValueTextTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartVariableUnits(); }
  void SetUp() override { ResetInfoCache(); }

  TFakeDriverPtr Driver = MakeFakeDriver();
  QString Text;
  TNamedValue Value;
};

TEST_F(NamedValueTextTest, GetReadsInformationThenValue) {
  Driver->Replies = {Bytes({0x8E, 0x9C, 0x7F, 0, 0}), Bytes({0x85, 0xE2, 0x04})};  // scale 1/100
  EXPECT_TRUE(GetNamedValue(*Driver, QStringLiteral(" ubat "), Text, Value));
  EXPECT_EQ(Text, QStringLiteral("UBat = 12.50"));
}

TEST_F(NamedValueTextTest, GetReportsWhatWentWrong) {
  TResult result = GetNamedValue(*Driver, QStringLiteral("UBatt"), Text, Value);
  EXPECT_EQ(result.Fault(), TFault::BadInput);
  EXPECT_EQ(Text, QStringLiteral("Unknown name \"UBatt\"; did you mean UBat?"));
  EXPECT_TRUE(Driver->Sent.empty());

  // A device that answered but could not give the value is the device's failure (1).
  Driver->Replies = {Bytes({0x8E})};
  result = GetNamedValue(*Driver, QStringLiteral("UBat"), Text, Value);
  EXPECT_EQ(ExitFor(result.Fault()), ceDeviceError);
  EXPECT_EQ(Text, QStringLiteral("UBat is not available on this device"));

  Driver->Replies = {Bytes({0x8E, 1, 0, 0, 0})};
  result = GetNamedValue(*Driver, QStringLiteral("UBat"), Text, Value);
  EXPECT_EQ(ExitFor(result.Fault()), ceDeviceError);
  EXPECT_EQ(Text, QStringLiteral("Cannot read UBat from the device"));
  EXPECT_EQ(Driver->Sent.size(), 1u + 1u + NamedValueAttempts);
}

TEST_F(NamedValueTextTest, SetRefusesAValueOutsideTheLimitsUnlessClamped) {
  const std::string info = Bytes({0x89, 0xF6, 0xFF, 0, 0, 0, 0, 0, 0, 0x88, 0x13});  // 0..500.0
  Driver->Replies = {info};
  const TResult refused =
      SetNamedValue(*Driver, QStringLiteral("eestUBatFloat = 900"), {}, Text, Value);
  EXPECT_EQ(ExitFor(refused.Fault()), ceDeviceError);
  EXPECT_EQ(Text, QStringLiteral("eestUBatFloat: 900 is outside the device's limits 0 to 500; "
                                 "nothing written"));
  EXPECT_EQ(Driver->Sent.size(), 1u);  // the information request only
  EXPECT_EQ(Value.Value, 900);         // --json gives the value asked for

  Driver->Sent.clear();
  Driver->Replies = {info, Bytes({0x88}), Bytes({0x86, 0x88, 0x13})};
  Value = {};
  EXPECT_TRUE(
      SetNamedValue(*Driver, QStringLiteral("eestUBatFloat = 900"), {true, false}, Text, Value));
  EXPECT_EQ(Text, QStringLiteral("eestUBatFloat = 500.0 (limited to the device's range)"));
  ASSERT_GE(Driver->Sent.size(), 2u);
  EXPECT_EQ(Driver->Sent[1], Bytes({0x37, 1, 3, 0x88, 0x13}));
}

TEST_F(NamedValueTextTest, SetSaysWhenItRoundsToTheNearestStep) {
  const std::string info = Bytes({0x89, 0xF6, 0xFF, 0, 0, 0, 0, 0, 0, 0x88, 0x13});  // steps of 0.1
  Driver->Replies = {info};
  EXPECT_FALSE(
      SetNamedValue(*Driver, QStringLiteral("eestUBatFloat=12.34"), {false, true}, Text, Value));
  EXPECT_EQ(Driver->Sent.size(), 1u);  // --exact: nothing written
  Driver->Replies = {info, Bytes({0x88}), Bytes({0x86, 0x7B, 0x00})};
  EXPECT_TRUE(SetNamedValue(*Driver, QStringLiteral("eestUBatFloat=12.34"), {}, Text, Value));
  EXPECT_EQ(Text, QStringLiteral("eestUBatFloat = 12.3 (stored 12.3, the nearest step to 12.34)"));
}

TEST_F(NamedValueTextTest, SetRefusesBadInputBeforeSending) {
  EXPECT_FALSE(SetNamedValue(*Driver, QStringLiteral("eestUBatFloat=12,5"), {}, Text, Value));
  EXPECT_EQ(Text, QStringLiteral("Cannot read the number \"12,5\""));
  EXPECT_FALSE(SetNamedValue(*Driver, QStringLiteral("eestUBatFloat"), {}, Text, Value));
  EXPECT_EQ(Text, QStringLiteral("Expected NAME=VALUE, got \"eestUBatFloat\""));
  EXPECT_TRUE(Driver->Sent.empty());
}

}  // namespace
