// The simulated BX2 with working firmware, answering the PC's wire bytes.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/Simulator.h"
#include "tests/sim/SimTestSupport.h"

namespace {

TSimBytes Payload(const TSimBytes& frame) {
  if (frame.size() < 2) return {};
  size_t n = frame[0] & 0x7F;
  if (frame.size() < n + 2 || ByteSum(frame.data(), n + 2) != 0) return {};
  return TSimBytes(frame.begin() + 1, frame.begin() + 1 + static_cast<long>(n));
}

TSimOptions Quiet() {
  TSimOptions o;
  o.HeartbeatMs = 0;
  return o;
}

// The tests' own frames are the interface's documented bytes.
TEST(SimTestFrame, BuildsTheDocumentedFrames) {
  EXPECT_EQ(TestFrame({0xFF, 0x44}), (TSimBytes{0x02, 0xFF, 0x44, 0xBB}));
  EXPECT_EQ(TestFrame({0xFF, 0x41, 0x01, 0x00}), (TSimBytes{0x04, 0xFF, 0x41, 0x01, 0x00, 0xBB}));
  EXPECT_EQ(TestFrame({0xFF, 0x58, 0x05}), (TSimBytes{0x03, 0xFF, 0x58, 0x05, 0xA1}));
}

TEST(SimBx2, AnswersTheInterfaceCommandsWithTheirFrames) {
  TSimulation sim(Quiet());
  TSimTestHost host(sim.Line());
  host.Write({0x04, 0xFF, 0x41, 0x01, 0x00, 0xBB});  // 'A' address 0
  EXPECT_EQ(host.Read(), (TSimBytes{0x04, 0xFF, 0x41, 0x01, 0x00, 0xBB}));

  host.Write({0x02, 0xFF, 0x56, 0xA9});  // 'V'
  EXPECT_EQ(Payload(host.Read()), (TSimBytes{0xFF, 'V', 0x94, 0x3E, 0x11, 0x00, 0x00}));

  // Default S block with argument A, then 'D' reads it back in the interface's bit order.
  host.Write({0x09, 0xFF, 0x53, 0x04, 0x00, 0xFF, 0x01, 0x10, 0x00, 0x04, 0x8D});
  EXPECT_EQ(Payload(host.Read()), (TSimBytes{0xFF, 'S'}));
  EXPECT_EQ(sim.StateBlock(), (std::vector<uint8_t>{4, 0, 255, 1, 0x10, 0, 4}));
  host.Write({0x02, 0xFF, 0x44, 0xBB});
  EXPECT_EQ(Payload(host.Read()), (TSimBytes{0xFF, 'D', 4, 0, 255, 1, 0x04, 0, 0x02}));

  host.Write({0x02, 0xFF, 0x4C, 0xB3});  // 'L'
  TSimBytes l = Payload(host.Read());
  ASSERT_EQ(l.size(), 10u);
  EXPECT_EQ(l[1], 'L');
  EXPECT_EQ(sim.Stats().HostFrames, 5);
}

TEST(SimBx2, IgnoresFramesAtTheWrongRateOrWithABadSum) {
  TSimulation sim(Quiet());
  TSimTestHost host(sim.Line(), 19200);
  host.Write({0x02, 0xFF, 0x56, 0xA9});
  EXPECT_TRUE(host.Read(150).empty());
  host.Baud(2400);
  host.Write({0x02, 0xFF, 0x56, 0xAA});
  EXPECT_TRUE(host.Read(150).empty());
  EXPECT_EQ(sim.Stats().BadHostFrames, 1);
}

TEST(SimBx2, NineBitModeSwitchesAfterTheConfiguredResets) {
  for (int resets : {1, 3}) {
    TSimOptions o = Quiet();
    o.BusMode = TSimBusMode::NineBit;
    o.NineBitResets = resets;
    TSimulation sim(o);
    TSimTestHost host(sim.Line());
    for (int i = 0; i < resets; ++i) {
      host.Write({0x02, 0xFF, 0x56, 0xA9});
      EXPECT_EQ(Payload(host.Read()).back(), 'W') << "resets " << resets << " round " << i;
      host.Write({0x02, 0xFF, 0x52, 0xAD});  // 'R'
    }
    host.Write({0x02, 0xFF, 0x56, 0xA9});
    EXPECT_EQ(Payload(host.Read()).back(), 0x00) << resets;
    EXPECT_EQ(sim.BusMode(), TSimBusMode::KMBus);
  }
}

TEST(SimBx2, PassesRequestsToTheSelectedDeviceOnly) {
  TSimOptions o = Quiet();
  o.DeviceAddress = 3;
  TSimulation sim(o);
  TSimTestHost host(sim.Line());
  host.Write({0x03, 0xFF, 0x58, 0x05, 0xA1});  // 'X' 05 while address 0 is selected
  EXPECT_TRUE(host.Read(150).empty());
  host.SendFrame({0xFF, 'y', 0x05, 0x03});  // lower case: to address 3
  EXPECT_EQ(Payload(host.Read()), (TSimBytes{0xFF, 'Y', 0x82, 0x7F, 0xC4, 0x27, 0x00}));
  host.SendFrame({0xFF, 'A', 0x01, 0x03});
  host.Read();
  host.SendFrame({0xFF, 'Z', 0x05});
  EXPECT_EQ(Payload(host.Read())[1], 'Z');
}

TEST(SimBx2, AddressedInfoQueryNeedsTheExtendedChecksum) {
  TSimOptions o = Quiet();
  o.DeviceAddress = 5;
  TSimulation sim(o);
  TSimTestHost host(sim.Line());
  host.Write({0x06, 0x21, 0x00, 0x00, 0x00, 0x00, 0x00, 0xD9});  // plain sum: refused
  EXPECT_TRUE(host.Read(150).empty());
  EXPECT_EQ(sim.Stats().BadHostFrames, 1);
  host.Write({0x06, 0x21, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC7});
  TSimBytes info = Payload(host.Read());
  ASSERT_EQ(info.size(), 11u);
  EXPECT_EQ(info[0], 0x20);
  EXPECT_EQ(info[5], 1);
  EXPECT_EQ(info[6], 5);
}

TEST(SimBx2, ResetRequestNeedsFlagSevenAndBreakThenPassesTheLineThrough) {
  TSimulation sim(Quiet());
  TSimTestHost host(sim.Line());
  host.Write({0x06, 0x21, 0x00, 0x00, 0x00, 0x00, 0x03, 0xC4});
  host.Read(100);
  EXPECT_FALSE(sim.DeviceInBootLoader());
  host.SendFrame({0xFF, 'S', 4, 0, 255, 1, 0x14, 0, 4});  // flag 7 and argument A
  host.Read();
  host.Write({0x06, 0x21, 0x00, 0x00, 0x00, 0x00, 0x03, 0xC4});
  host.Read(100);
  EXPECT_TRUE(sim.DeviceInBootLoader());
  sim.Line()->HostSetBreak(true);
  sim.Line()->HostSetBreak(false);
  host.Baud(19200);
  host.Write(SimBinaryFrame({0x05}));  // version query of the binary boot loader
  TSimBytes got = host.Read();
  TSimBytes echo = SimBinaryFrame({0x05});
  ASSERT_GT(got.size(), echo.size());
  EXPECT_TRUE(std::equal(echo.begin(), echo.end(), got.begin()));
  EXPECT_EQ(TSimBytes(got.begin() + static_cast<long>(echo.size()), got.end()),
            SimBinaryFrame({'V', 113, 113}));
  EXPECT_EQ(sim.InterfaceState(), TSimInterface::Bx2Working);
}

TEST(SimBx2, SilentInterfaceComesBackAfterTheWakeUpSequence) {
  TSimulation sim(Quiet());
  TSimTestHost host(sim.Line());
  sim.SetSilent(true);
  host.Write({0x02, 0xFF, 0x56, 0xA9});
  EXPECT_TRUE(host.Read(150).empty());
  host.Baud(115200);
  host.Write(TSimBytes(5, 0x55));
  host.Baud(19200);
  host.Write({'A'});
  host.Baud(2400);
  TSimBytes announce = Payload(host.Read(800));
  ASSERT_GE(announce.size(), 7u);
  EXPECT_EQ(announce[1], 'V');
}

TEST(SimBx2, BroadcastsWhileADriverIsAttachedAndCarriesStatusBytesWhenAsked) {
  TSimOptions o;
  o.HeartbeatMs = 100;
  o.StatusEvery = 1;
  TSimulation sim(o);
  TSimTestHost host(sim.Line());
  host.Write({0x04, 0xFF, 0x41, 0x01, 0x00, 0xBB});
  TSimBytes ack = host.Read(200, 30);
  ASSERT_EQ(ack.size(), 8u);
  EXPECT_EQ(ack[0], 0x86);  // 4 payload bytes + 2 status bytes, bit 7 set
  EXPECT_EQ(ByteSum(ack), 0);
  TSimBytes beat = host.Read(1000, 30);
  ASSERT_GE(beat.size(), 2u);
  EXPECT_NE(beat[1], 0xFF);  // a bus frame, not an interface frame
}

TEST(SimBx2, PacedRepliesTakeTheirWireTime) {
  TSimOptions o = Quiet();
  o.Paced = true;
  TSimulation sim(o);
  TSimTestHost host(sim.Line());
  auto start = TLineClock::now();
  host.Write({0x02, 0xFF, 0x56, 0xA9});  // returns when the last byte has left
  TSimBytes reply = host.Read(500, 30);
  auto took = std::chrono::duration_cast<std::chrono::microseconds>(TLineClock::now() - start);
  ASSERT_EQ(reply.size(), 9u);
  // 4 + 9 characters of 10 bits at 2400 baud.
  EXPECT_GE(took.count(), 13 * 10 * 1000000LL / 2400);
}

}  // namespace
