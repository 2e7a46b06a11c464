// Reading and writing device memory: the exact requests and their replies.

#include <gtest/gtest.h>

#include "tests/variables/VariableTestSupport.h"
#include "variables/ExtendedVariable.h"

namespace {

class VariableBusTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartVariableUnits(); }
};

TEST_F(VariableBusTest, ReadDecodesReplyPerType) {
  const struct {
    TDataType Type;
    std::string Reply;
    int32_t Value;
  } cases[] = {
      {dtWord, Bytes({0x84, 0x34, 0x12}), 4660},
      {dtByte, Bytes({0x84, 0x34, 0x12}), 0x34},
      {dtSigned, Bytes({0x84, 0xFE, 0xFF}), -2},
      {dtByte, Bytes({0x84, 0x99}), 0x99},  // two bytes are enough
      {dtWord, Bytes({0x84, 1, 2, 3, 4, 5, 6}), 0x0201},
  };
  for (const auto& c : cases) {
    auto driver = MakeFakeDriver();
    TExtendedVariable v(QStringLiteral("$21C4"));
    v.DataType = c.Type;
    driver->Replies = {c.Reply};
    v.SetRawValue(NotReadSentinel);
    EXPECT_TRUE(v.Read(*driver));
    EXPECT_EQ(v.RawValue, c.Value);
    EXPECT_EQ(v.GetDeviceValue(), c.Value);
    EXPECT_FALSE(v.ReadFailed);
    ASSERT_EQ(driver->Sent.size(), 1u);
    EXPECT_EQ(driver->Sent[0], Bytes({0x07, 0xC4, 0x21}));
  }
}

TEST_F(VariableBusTest, FailedReadLeavesValueAndReportsError) {
  for (const std::string& reply : {Bytes({0x84}), Bytes({0x85, 0x34, 0x12}), std::string()}) {
    auto driver = MakeFakeDriver();
    TExtendedVariable v(QStringLiteral("$2100 W"));
    driver->Replies = {reply};
    v.SetRawValue(NotReadSentinel);
    EXPECT_FALSE(v.Read(*driver));
    EXPECT_EQ(v.RawValue, NotReadSentinel);
    EXPECT_TRUE(v.ReadFailed);
    EXPECT_EQ(v.GetText(), QStringLiteral("Error during read"));
  }
}

TEST_F(VariableBusTest, ReadRawFillsUpToFourBytes) {
  auto driver = MakeFakeDriver();
  TExtendedVariable v(QStringLiteral("16"));
  driver->Replies = {Bytes({0x84, 0x78, 0x56, 0x34, 0x12, 0xFF})};
  int32_t raw = -1;
  EXPECT_TRUE(v.ReadRaw(*driver, raw));
  EXPECT_EQ(raw, 0x12345678);
}

TEST_F(VariableBusTest, NoneKindReadsWithoutTraffic) {
  auto driver = MakeFakeDriver();
  TExtendedVariable v;
  EXPECT_EQ(v.AccessKind, vkNone);
  EXPECT_TRUE(v.Read(*driver));
  EXPECT_FALSE(v.ReadFailed);
  EXPECT_TRUE(driver->Sent.empty());
  EXPECT_FALSE(v.Write(*driver));
  EXPECT_TRUE(driver->Sent.empty());
}

struct TWriteCase {
  const char* Name;
  uint8_t ControllerType;
  uint16_t Address;
  TDataType Type;
  int Bit;
  int32_t Value;
  bool Result;
  std::vector<std::string> Frames;
};

TEST_F(VariableBusTest, MemoryWriteCommands) {
  const TWriteCase cases[] = {
      {"word high memory",
       0,
       0x21C2,
       dtWord,
       0,
       0x1234,
       true,
       {Bytes({0x0B, 0xC3, 0x12}), Bytes({0x0B, 0xC2, 0x34})}},
      {"byte high memory", 0, 0x2100, dtByte, 0, 0x1FF, true, {Bytes({0x0B, 0x00, 0xFF})}},
      {"byte page 0, type 1", 1, 0x0020, dtByte, 0, 7, true, {Bytes({0x08, 0x20, 0x07})}},
      {"byte page 1, type 1", 1, 0x0120, dtByte, 0, 7, true, {Bytes({0x09, 0x20, 0x07})}},
      {"bit set, type 1", 1, 0x0120, dtBit, 2, 1, true, {Bytes({0x0A, 0x20, 0x15})}},
      {"bit clear, type 1", 1, 0x0020, dtBit, 7, 0, true, {Bytes({0x0A, 0x20, 0x0E})}},
      {"bit value 2 clears", 2, 0x0320, dtBit, 1, 2, true, {Bytes({0x23, 0x20, 0x03})}},
      {"byte, type 2", 2, 0x0120, dtByte, 0, 7, true, {Bytes({0x11, 0x20, 0x07})}},
      {"signed, type 2",
       2,
       0x1F10,
       dtSigned,
       0,
       -2,
       true,
       {Bytes({0x2F, 0x11, 0xFF}), Bytes({0x2F, 0x10, 0xFE})}},
      {"eeprom switch, type 1", 1, 512, dtByte, 0, 255, false, {}},
      {"word, type 1 beyond 511", 1, 0x1000, dtWord, 0, 1, false, {}},
      {"packed word",
       0,
       0x2150,
       dtPacked,
       0,
       0xC064,
       true,
       {Bytes({0x0B, 0x51, 0xC0}), Bytes({0x0B, 0x50, 0x64})}},
      // A word across a page boundary: the high byte goes to the next page.
      {"word across page, type 2",
       2,
       0x00FF,
       dtWord,
       0,
       0x0102,
       true,
       {Bytes({0x11, 0x00, 0x01}), Bytes({0x10, 0xFF, 0x02})}},
      {"word across page, type 1",
       1,
       0x00FF,
       dtWord,
       0,
       0x0102,
       true,
       {Bytes({0x09, 0x00, 0x01}), Bytes({0x08, 0xFF, 0x02})}},
      {"word into high memory",
       2,
       0x20FF,
       dtWord,
       0,
       0x0102,
       true,
       {Bytes({0x0B, 0x00, 0x01}), Bytes({0x30, 0xFF, 0x02})}},
      {"word past type 1 range", 1, 0x01FF, dtWord, 0, 1, false, {}},
      {"word past high page", 0, 0x21FF, dtWord, 0, 1, false, {}},
      {"bit beyond a byte", 2, 0x0020, dtBit, 8, 1, false, {}},
  };
  for (const TWriteCase& c : cases) {
    SCOPED_TRACE(c.Name);
    auto driver = MakeFakeDriver(c.ControllerType);
    TExtendedVariable v(QStringLiteral("0"));
    v.Address = c.Address;
    v.DataType = c.Type;
    v.BitNumber = static_cast<uint8_t>(c.Bit);
    v.SetRawValue(c.Value);
    EXPECT_EQ(v.Write(*driver), c.Result);
    EXPECT_EQ(driver->Sent, c.Frames);
  }
}

// An unclassified device is a fault of the caller: the write fails without a frame
// (and without an exception), for every low-memory form and an unknown type alike.
TEST_F(VariableBusTest, LowMemoryWriteWithoutControllerTypeFailsWithNothingSent) {
  struct TCase {
    const char* Name;
    TDataType Type;
    uint8_t ControllerType;
  };
  const TCase cases[] = {
      {"byte", dtByte, 0}, {"word", dtWord, 0}, {"bit", dtBit, 0}, {"unknown type", dtByte, 3}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    auto driver = MakeFakeDriver(c.ControllerType);
    TExtendedVariable v(QStringLiteral("$0120"));
    v.DataType = c.Type;
    v.SetRawValue(1);
    bool written = true;
    EXPECT_NO_THROW(written = v.Write(*driver));
    EXPECT_FALSE(written);
    EXPECT_TRUE(driver->Sent.empty());
  }
}

TEST_F(VariableBusTest, WordWriteStopsWhenFirstFrameRefused) {
  auto driver = MakeFakeDriver();
  TExtendedVariable v(QStringLiteral("$21C2 W"));
  v.SetRawValue(0x1234);
  driver->Confirms = {false};
  EXPECT_FALSE(v.Write(*driver));
  EXPECT_EQ(driver->Sent.size(), 1u);
  driver->Sent.clear();
  driver->Confirms = {true, false};
  EXPECT_FALSE(v.Write(*driver));  // the result is the last frame's
  EXPECT_EQ(driver->Sent.size(), 2u);
}

TEST_F(VariableBusTest, HighMemoryBitWriteReadsTheByteFirst) {
  auto driver = MakeFakeDriver(0);
  TExtendedVariable v(QStringLiteral("$21A8^3"));
  v.SetRawValue(1);
  driver->Replies = {Bytes({0x84, 0x81, 0x77})};
  EXPECT_TRUE(v.Write(*driver));
  EXPECT_EQ(driver->Sent,
            (std::vector<std::string>{Bytes({0x07, 0xA8, 0x21}), Bytes({0x0B, 0xA8, 0x89})}));

  driver->Sent.clear();
  v.SetRawValue(0);
  driver->Replies = {Bytes({0x84, 0xFF})};
  EXPECT_TRUE(v.Write(*driver));
  EXPECT_EQ(driver->Sent.back(), Bytes({0x0B, 0xA8, 0xF7}));

  driver->Sent.clear();
  driver->Replies = {Bytes({0x84})};
  EXPECT_FALSE(v.Write(*driver));
  EXPECT_EQ(driver->Sent, std::vector<std::string>{Bytes({0x07, 0xA8, 0x21})});
}

}  // namespace
