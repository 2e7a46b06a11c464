// Identifier numbering, names, and pointing a variable at an identifier.

#include <gtest/gtest.h>

#include <set>

#include "tests/variables/VariableTestSupport.h"
#include "variables/ExtendedVariable.h"
#include "variables/Identifiers.h"

namespace {

TEST(IdentifierTest, ClassesAndIndexes) {
  const struct {
    int Id;
    TIdentifierClass Class;
    int Index;
  } cases[] = {{0, icNone, 0},       {1, icRamVar, 0},        {16, icRamVar, 15},
               {17, icFlag, 0},      {52, icFlag, 35},        {53, icSetting, 0},
               {126, icSetting, 73}, {127, icNone, 0},        {128 + 5, icRamVar, 4},
               {255, icNone, 0},     {128 + 53, icSetting, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(ClassifyIdentifier(static_cast<uint8_t>(c.Id)), c.Class) << c.Id;
    EXPECT_EQ(IdentifierIndex(static_cast<uint8_t>(c.Id)), c.Index) << c.Id;
  }
}

TEST(IdentifierTest, NameTableIsCompleteAndUnique) {
  std::set<std::string> seen;
  for (int id = 0; id < IdentifierCount; ++id) {
    ASSERT_NE(IdentifierNames[id], nullptr) << id;
    EXPECT_TRUE(seen.insert(IdentifierNames[id]).second) << IdentifierNames[id];
  }
  const struct {
    int Id;
    const char* Name;
  } spots[] = {{0, "NoVariableID"},
               {1, "UMainsRMS"},
               {16, "PMains"},
               {17, "@_ObsoleteThreePhaseSystem"},
               {48, "_UseLPSInAES"},
               {52, "@_vsSetInverterPeriodTimeOnUBat"},
               {53, "eestFlags#0"},
               {113, "eestFlags#4"},
               {126, "eestIInvLimitDuringAssist"},
               {128 + 5, "UBat"}};
  for (const auto& s : spots) {
    EXPECT_EQ(IdentifierName(static_cast<uint8_t>(s.Id)), QString::fromLatin1(s.Name));
  }
  EXPECT_TRUE(IdentifierName(127).isEmpty());
}

TEST(IdentifierTest, FindsNamesAndSuggestsCloseOnes) {
  EXPECT_EQ(FindIdentifier(QStringLiteral("UBat")), 5);
  EXPECT_EQ(FindIdentifier(QStringLiteral("ubat")), 5);
  EXPECT_EQ(FindIdentifier(QStringLiteral("eestFlags#2")), 54);
  EXPECT_EQ(FindIdentifier(QStringLiteral("NoVariableID")), -1);
  EXPECT_EQ(FindIdentifier(QStringLiteral("Nothing")), -1);
  EXPECT_EQ(SuggestIdentifiers(QStringLiteral("UBatt")).value(0), QStringLiteral("UBat"));
  EXPECT_TRUE(SuggestIdentifiers(QStringLiteral("60Hz")).contains(QStringLiteral("_60Hz")));
  EXPECT_TRUE(SuggestIdentifiers(QStringLiteral("IgnoreACInput"))
                  .contains(QStringLiteral("@_IgnoreACInput")));
  EXPECT_TRUE(SuggestIdentifiers(QStringLiteral("qqqqqqqqqqqq")).isEmpty());
  EXPECT_LE(SuggestIdentifiers(QStringLiteral("eest"), 3).size(), 3);
}

class SetIdentifierTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartVariableUnits(); }
};

TEST_F(SetIdentifierTest, MapsIdentifierToAccess) {
  const struct {
    int Id;
    TVariableKind Kind;
    int Address;
    TDataType Type;
    int Bit;
    double Scale;
  } cases[] = {
      {5, vkRamVar, 4, dtWord, 0, 0},     {128 + 5, vkRamVar, 4, dtWord, 0, 0},
      {17, vkSetting, 0, dtBit, 0, 1},    {32, vkSetting, 0, dtBit, 15, 1},
      {33, vkSetting, 1, dtBit, 0, 1},    {48, vkSetting, 1, dtBit, 15, 1},
      {52, vkSetting, 60, dtBit, 3, 1},   {53, vkSetting, 0, dtWord, 0, 0},
      {126, vkSetting, 73, dtWord, 0, 0}, {127, vkNone, 0, dtWord, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Id);
    TExtendedVariable v(QStringLiteral("$2100 W S0.5 O3"));
    v.SetIdentifier(static_cast<uint8_t>(c.Id));
    EXPECT_EQ(v.AccessKind, c.Kind);
    if (c.Kind != vkNone) {
      EXPECT_EQ(v.Address, c.Address);
    }
    EXPECT_EQ(v.DataType, c.Type);
    if (c.Type == dtBit) {
      EXPECT_EQ(v.BitNumber, c.Bit);
    }
    EXPECT_DOUBLE_EQ(v.Scale, c.Scale);
    EXPECT_EQ(v.Offset, 0);
    EXPECT_EQ(v.IsAvailable(), c.Scale != 0);
  }
}

TEST_F(SetIdentifierTest, EveryIdentifierRoundTrips) {
  for (int id = 1; id <= 126; ++id) {
    TExtendedVariable v;
    v.SetIdentifier(static_cast<uint8_t>(id));
    EXPECT_EQ(v.GetIdentifier(), id);
  }
}

TEST_F(SetIdentifierTest, NoIdentifierKeepsAnAddressedVariable) {
  TExtendedVariable v(QStringLiteral("$2100 W S0.5"));
  v.SetIdentifier(0);
  EXPECT_EQ(v.AccessKind, vkMemory);
  EXPECT_EQ(v.Address, 0x2100);
  EXPECT_DOUBLE_EQ(v.Scale, 0.5);
  EXPECT_EQ(v.GetIdentifier(), 0);

  v.SetIdentifier(5);
  v.SetIdentifier(0);  // from an identifier to none: no address any more
  EXPECT_EQ(v.AccessKind, vkNone);
  EXPECT_EQ(v.GetIdentifier(), 0);
}

TEST_F(SetIdentifierTest, FlagInAnUnknownWordNamesTheFourthWord) {
  TExtendedVariable v;
  v.SetIdentifier(17);
  v.Address = 61;  // "eestFlags#6" holds no numbered flag
  v.BitNumber = 2;
  EXPECT_EQ(v.GetIdentifier(), 17 + 48 + 2);
}

}  // namespace
