// The BX1 line and the seeded fault injection.
#include <gtest/gtest.h>

#include "sim/Simulator.h"
#include "tests/sim/SimTestSupport.h"

namespace {

TEST(SimBx1, EchoesEveryByteAndAnswersNinthBitFrames) {
  TSimOptions o;
  o.Interface = TSimInterface::Bx1;
  TSimulation sim(o);
  TSimTestHost host(sim.Line(), 1200, 'M');
  host.Write({0x07});  // memory read of 0x21C4: first byte with the ninth bit set
  host.Baud(1200, 'S');
  host.Write({0xC4, 0x21, static_cast<uint8_t>(0 - 0x07 - 0xC4 - 0x21)});
  TSimBytes got = host.Read(400, 80);
  // Echo (the first byte comes back with its ninth bit: a parity error in space parity).
  ASSERT_EQ(got.size(), 8u);
  EXPECT_EQ(TSimBytes(got.begin(), got.begin() + 4), (TSimBytes{0x07, 0xC4, 0x21, 0x14}));
  EXPECT_EQ(TSimBytes(got.begin() + 4, got.end()), (TSimBytes{0x84, 0xEB, 0x03, 0x8E}));
  EXPECT_NE(host.Errors & leParity, 0u);

  // The same bytes without the ninth bit on the first are only echoed.
  host.Write({0x07, 0xC4, 0x21, 0x14});
  EXPECT_EQ(host.Read(400, 80).size(), 4u);
  EXPECT_EQ(sim.Stats().DeviceRequests, 1);
}

// Everything the equipment sends for 30 'V' queries.
TSimBytes RunQueries(const TSimFaults& faults, TSimStats* stats) {
  TSimOptions o;
  o.HeartbeatMs = 0;
  o.Faults = faults;
  TSimulation sim(o);
  TSimTestHost host(sim.Line());
  TSimBytes all;
  for (int i = 0; i < 30; ++i) {
    host.Write({0x02, 0xFF, 0x56, 0xA9});
    TSimBytes got = host.Read(40, 20);
    all.insert(all.end(), got.begin(), got.end());
    all.push_back(0xEE);  // query boundary
  }
  *stats = sim.Stats();
  return all;
}

TEST(SimFaults, SameSeedSameFaultsOtherSeedOtherFaults) {
  TSimFaults f;
  f.DropReply = 0.3;
  f.CorruptChecksum = 0.3;
  f.NoiseBytes = 0.3;
  f.Seed = 7;
  TSimStats a{}, b{}, c{};
  TSimBytes first = RunQueries(f, &a);
  TSimBytes second = RunQueries(f, &b);
  EXPECT_EQ(first, second);
  EXPECT_EQ(a.FramesDropped, b.FramesDropped);
  EXPECT_GT(a.FramesDropped, 0);
  EXPECT_GT(a.FramesSent, 0);
  f.Seed = 8;
  EXPECT_NE(RunQueries(f, &c), first);
}

TEST(SimFaults, LineVanishesAfterTheGivenNumberOfFrames) {
  TSimOptions o;
  o.HeartbeatMs = 0;
  o.Faults.VanishAfterFrames = 2;
  TSimulation sim(o);
  TSimTestHost host(sim.Line());
  for (int i = 0; i < 2; ++i) {
    host.Write({0x02, 0xFF, 0x56, 0xA9});
    host.Read(100);
  }
  EXPECT_TRUE(sim.Line()->Vanished());
  sim.Reconnect();
  EXPECT_FALSE(sim.Line()->Vanished());
}

TEST(SimFaults, LateRepliesArriveAfterTheDelay) {
  TSimOptions o;
  o.HeartbeatMs = 0;
  o.Faults.LateReply = 1.0;
  o.Faults.LateMs = 300;
  TSimulation sim(o);
  TSimTestHost host(sim.Line());
  host.Write({0x02, 0xFF, 0x56, 0xA9});
  EXPECT_TRUE(host.Read(150).empty());
  EXPECT_FALSE(host.Read(400).empty());
}

}  // namespace
