// The BX1 driver against a scripted echoing bus on the virtual line.

#include <gtest/gtest.h>

#include <atomic>

#include "link/BX1Driver.h"
#include "tests/link/BusDriverTestSupport.h"

namespace {

using TClockNow = std::chrono::steady_clock;

struct TFrameCounter {
  void OnFrame(void*) { ++Calls; }
  std::atomic<int> Calls{0};
};

std::string WireHex(const std::vector<TWireByte>& bytes) {
  std::string text;
  for (const auto& b : bytes) text.push_back(static_cast<char>(b.Value));
  return Hex(text);
}

class BX1DriverTest : public ::testing::Test {
 protected:
  void Start() {
    Driver.reset(TBX1Driver::Create(Wire.Open(1200)));
    Driver->SetFrameHandler(NotifyMethod<&TFrameCounter::OnFrame>(&Frames));
  }
  void SendFrames(int count, int first) {
    for (int i = 0; i < count; ++i) TBX1Peer::SendFrame(*Wire.Line, Bytes({0x81, first + i, 0}));
    ASSERT_TRUE(WaitUntil([&] { return Frames.Calls >= Delivered + count; }));
    Delivered += count;
  }

  std::shared_ptr<TBX1Peer> Peer = std::make_shared<TBX1Peer>();
  TLinePort Wire{Peer};
  TFrameCounter Frames;
  int Delivered = 0;
  TThreadPtr<TBX1Driver> Driver;
};

TEST_F(BX1DriverTest, FrameGoesOutWithTheNinthBitOnItsFirstByteOnly) {
  Start();
  ASSERT_TRUE(Driver->SendAndConfirm(Bytes({0x02})));
  auto wire = Peer->ReceivedBytes();
  EXPECT_EQ(WireHex(wire), "02 00 00 FE");
  ASSERT_EQ(wire.size(), 4u);
  EXPECT_EQ(wire[0].Ninth, 1);
  for (size_t i = 1; i < 4; ++i) EXPECT_EQ(wire[i].Ninth, 0);
  // RTS is held set for the frame and cleared again afterwards.
  const auto states = Peer->LineStates();
  EXPECT_TRUE(std::any_of(states.begin(), states.end(), [](const TLineState& s) { return s.Rts; }));
  EXPECT_FALSE(states.back().Rts);

  // Longer texts are cut to three bytes.
  ASSERT_TRUE(Driver->SendAndConfirm(Bytes({1, 2, 3, 4, 5})));
  wire = Peer->ReceivedBytes();
  EXPECT_EQ(WireHex({wire.begin() + 4, wire.end()}), "01 02 03 FA");
}

TEST_F(BX1DriverTest, WrongFirstEchoAbortsBeforeTheRestIsWritten) {
  Peer->EchoFilter = [](size_t index, const TWireByte& byte) {
    TWireByte echo = byte;
    if (index == 0) echo.Value ^= 0x01;
    return echo;
  };
  Start();
  EXPECT_FALSE(Driver->SendAndConfirm(Bytes({0x02})));
  EXPECT_TRUE(Driver->LastSendFailed);
  EXPECT_TRUE(Driver->TxIdle.IsSet());
  EXPECT_EQ(Peer->ReceivedBytes().size(), 1u);
  // The caller may send again; the bus is fine now.
  EXPECT_TRUE(Driver->SendAndConfirm(Bytes({0x02})));
  EXPECT_FALSE(Driver->LastSendFailed);
}

TEST_F(BX1DriverTest, FramesAreRecognisedByTheirNinthBitAndChecksum) {
  Start();
  TBX1Peer::SendFrame(*Wire.Line, Bytes({0x81, 0x34, 0x12}));
  std::string text;
  ASSERT_EQ(Driver->NextReply(text, 500), 3);
  EXPECT_EQ(Hex(text), "81 34 12");

  // Without the ninth bit, or with a wrong checksum: nothing.
  TBX1Peer::SendFrame(*Wire.Line, Bytes({0x81, 0x34, 0x12}), false);
  TBX1Peer::SendFrame(*Wire.Line, Bytes({0x81, 0x34, 0x12}), true, false);
  EXPECT_EQ(Driver->NextReply(text, 200), 0);

  // A ninth-bit byte in the middle of a frame starts a new one.
  Wire.Line->SendToHost({{0x81, 1, 1200}, {0x34, 0, 1200}});
  TBX1Peer::SendFrame(*Wire.Line, Bytes({0x90, 0x01, 0x02}));
  ASSERT_EQ(Driver->NextReply(text, 500), 3);
  EXPECT_EQ(Hex(text), "90 01 02");
  EXPECT_EQ(Driver->NextReply(text, 100), 0);
}

TEST_F(BX1DriverTest, FullRingReplacesItsNewestMessageAndLosesNothingAfterwards) {
  Start();
  SendFrames(11, 1);
  EXPECT_EQ(Driver->ReplyCount.Count(), 10);
  std::string text;
  ASSERT_EQ(Driver->TakeFrame(text), 3);
  EXPECT_EQ(static_cast<int>(text[1]), 1);
  // A message arriving after one was taken goes to the freed slot.
  SendFrames(1, 12);
  std::vector<int> order;
  while (Driver->TakeFrame(text) == 3) order.push_back(text[1]);
  EXPECT_EQ(order, (std::vector<int>{2, 3, 4, 5, 6, 7, 8, 9, 11, 12}));
  EXPECT_EQ(Driver->ReplyCount.Count(), 0);
}

TEST_F(BX1DriverTest, LostPortFailsSendsAndStopsPromptly) {
  Start();
  Wire.Line->Vanish();
  ASSERT_TRUE(WaitUntil([&] { return Driver->ConnectedPort() == 0; }));
  // Sends fail at once, as on the BX2: a caller's retries must not each wait out the
  // hand-over.
  auto t0 = TClockNow::now();
  EXPECT_FALSE(Driver->SendAndConfirm(Bytes({0x02})));
  EXPECT_FALSE(Driver->TransmitFrame(Bytes({0x02}), 255, true));
  std::string text = Bytes({0x02});
  EXPECT_EQ(Driver->Query(text, 255, 5000), 0);
  EXPECT_LT(MsSince(t0), 500);  // the three together: less than one hand-over wait
  t0 = TClockNow::now();
  Driver.reset();
  EXPECT_LT(MsSince(t0), 2000);
}

}  // namespace

// Callers ask any driver without knowing its kind: the BX1 has no modes, carries no
// addressed frames (nothing goes out) and gives its port back.
TEST_F(BX1DriverTest, AnswersTheQueriesOfEveryDriverAsABX1) {
  Start();
  TBusDriver& driver = *Driver;
  EXPECT_EQ(driver.InterfaceKind(), TInterfaceKind::BX1);
  EXPECT_EQ(driver.LinkMode(), 0);
  std::string text(1, '\x31');
  EXPECT_FALSE(driver.AddressedQuery(0, text, 100, 0x31));
  EXPECT_TRUE(Peer->ReceivedBytes().empty());
  std::unique_ptr<TRS232o> port = driver.ReleasePort();
  EXPECT_NE(port, nullptr);
  Driver.reset();  // the driver no longer frees it
  EXPECT_NE(port->PortNumber(), 0u);
}
