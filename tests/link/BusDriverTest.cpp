// The bus driver base: command building, bit helpers, version classes, and the
// caller operations (query, reply waits, status word) run through a BX1 driver.

#include <gtest/gtest.h>

#include "link/BX1Driver.h"
#include "tests/link/BusDriverTestSupport.h"

namespace {

using TClockNow = std::chrono::steady_clock;

TEST(BusDriverHelpers, BuildCommandTakesLowBytesCharactersAndStrings) {
  EXPECT_EQ(BuildCommand(0x137, 'A', std::string("BC")), "7ABC");
  EXPECT_EQ(Hex(BuildCommand(0x07, uint16_t{0x21C4}, -1, "xy")), "07 C4 FF 78 79");
  // Items of other kinds contribute nothing.
  EXPECT_EQ(BuildCommand(true, 1.5, 'Z'), "Z");
  EXPECT_EQ(BuildCommand(), "");
  // A string with a zero byte keeps it; a zero-terminated one ends there.
  EXPECT_EQ(BuildCommand(std::string("a\0b", 3)).size(), 3u);
  EXPECT_EQ(BuildCommand(static_cast<const char*>("a\0b")), "a");
}

TEST(BusDriverHelpers, BitsAreTakenModulo32) {
  EXPECT_TRUE(BitIsSet(0x80000000u, 31));
  EXPECT_TRUE(BitIsSet(0x2u, 33));
  EXPECT_FALSE(BitIsSet(0x2u, 0));
  uint32_t value = 0;
  SetBit(value, 35, true);
  EXPECT_EQ(value, 0x8u);
  SetBit(value, 3, false);
  EXPECT_EQ(value, 0u);
}

TEST(BusDriverHelpers, ClassifyVersionByFamilyQuotient) {
  StartUnitThreads();
  // A driver without a port: it idles, but its helpers work.
  TThreadPtr<TBX1Driver> driver(TBX1Driver::Create(std::make_unique<TRS232o>()));
  EXPECT_TRUE(driver->PortFailed);
  EXPECT_EQ(driver->ConnectedPort(), 0);
  const std::pair<int32_t, int> cases[] = {{1000000, 1}, {1200000, 1}, {1499999, 1}, {1500000, 1},
                                           {1100000, 2}, {1300000, 2}, {1600000, 2}, {2606207, 2},
                                           {0, 2},       {99999, 2},   {-1000000, 2}};
  for (const auto& [version, expected] : cases)
    EXPECT_EQ(driver->ClassifyVersion(version), expected) << version;
}

class BusDriverCallerTest : public ::testing::Test {
 protected:
  void SetUp() override { Driver.reset(TBX1Driver::Create(Wire.Open(1200))); }
  void AnswerWith(const std::string& reply) {
    Peer->Responder = [reply](const std::string&) -> std::optional<std::string> { return reply; };
  }

  std::shared_ptr<TBX1Peer> Peer = std::make_shared<TBX1Peer>();
  TLinePort Wire{Peer};
  TThreadPtr<TBX1Driver> Driver;
};

TEST_F(BusDriverCallerTest, QueryWithoutReplyTimesOutWithEmptyText) {
  std::string text = Bytes({0x05});
  const auto t0 = TClockNow::now();
  EXPECT_EQ(Driver->Query(text), 0);
  EXPECT_TRUE(text.empty());
  EXPECT_GE(MsSince(t0), 500);
  EXPECT_LT(MsSince(t0), 1000);
}

TEST_F(BusDriverCallerTest, QueryDropsAReplyLeftFromEarlierTraffic) {
  TBX1Peer::SendFrame(*Wire.Line, Bytes({0x81, 0xEE, 0xEE}));
  ASSERT_TRUE(WaitUntil([&] { return Driver->ReplyCount.Count() == 1; }));
  AnswerWith(Bytes({0x82, 0x01, 0x02}));
  std::string text = Bytes({0x05});
  ASSERT_EQ(Driver->Query(text), 3);
  EXPECT_EQ(Hex(text), "82 01 02");
}

TEST_F(BusDriverCallerTest, NextReplyWithZeroTimeoutNeverBlocks) {
  std::string text = "junk";
  auto t0 = TClockNow::now();
  EXPECT_EQ(Driver->NextReply(text, 0), 0);
  EXPECT_TRUE(text.empty());
  EXPECT_LT(MsSince(t0), 400);  // not the default reply wait of 500 ms
  TBX1Peer::SendFrame(*Wire.Line, Bytes({0x81, 0x01, 0x02}));
  ASSERT_TRUE(WaitUntil([&] { return Driver->ReplyCount.Count() == 1; }));
  EXPECT_EQ(Driver->NextReply(text, 0), 3);
  Driver->FlushReplies();
  EXPECT_EQ(Driver->ReplyCount.Count(), 0);
}

TEST_F(BusDriverCallerTest, StatusWordNeedsReplyCode0x81) {
  AnswerWith(Bytes({0x81, 0x34, 0x12}));
  EXPECT_EQ(Driver->ReadStatusWord(), 0x1234);
  AnswerWith(Bytes({0x80, 0x34, 0x12}));
  EXPECT_EQ(Driver->ReadStatusWord(), -1);
  auto wire = Peer->ReceivedBytes();
  ASSERT_GE(wire.size(), 4u);
  EXPECT_EQ(wire[0].Value, 0x02);
}

TEST_F(BusDriverCallerTest, ControlCommandsAreSentAsPlainRequests) {
  EXPECT_TRUE(Driver->SetControlByte(0x44));
  EXPECT_TRUE(Driver->SetControlPair(0x55, 0x66));
  const auto wire = Peer->ReceivedBytes();
  std::string sent;
  for (const auto& b : wire) sent.push_back(static_cast<char>(b.Value));
  EXPECT_EQ(Hex(sent), "03 44 00 B9 04 55 00 A7");
}

}  // namespace
