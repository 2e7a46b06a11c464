// The BX2's boot loader: the 0x11 stream of a badly programmed interface and the
// text programming method.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "sim/Simulator.h"
#include "tests/sim/SimTestSupport.h"

namespace {

TSimBytes Line(const char* text) {
  TSimBytes line(74, 0x20);
  std::memcpy(line.data(), text, std::min<size_t>(std::strlen(text), 74));
  return line;
}

TSimBytes WriteFrame(const TSimBytes& line, int sumError = 0) {
  // Sized once: growing a one-byte vector by insert trips GCC 12's -Warray-bounds.
  TSimBytes frame(line.size() + 2, 'W');
  std::copy(line.begin(), line.end(), frame.begin() + 1);
  frame.back() = static_cast<uint8_t>(0 - SimSum(line) + sumError);
  return frame;
}

// The connection of the text method: burst at 115200, "P" at 19200.
TSimBytes Connect(TSimTestHost& host) {
  host.Baud(115200);
  host.Write(TSimBytes(5, 0x55));
  host.Baud(19200);
  host.Line->HostPurgeReceive();
  host.Write({'P'});
  return host.Read(500, 40);
}

TEST(SimBx2BootLoader, BadlyProgrammedInterfaceSendsElevensUntilSpokenTo) {
  TSimOptions o;
  o.Interface = TSimInterface::Bx2BadlyProgrammed;
  TSimulation sim(o);
  TSimTestHost host(sim.Line(), 19200);
  TSimBytes got = host.Read(300, 20);
  ASSERT_GE(got.size(), 3u);
  EXPECT_TRUE(std::all_of(got.begin(), got.end(), [](uint8_t b) { return b == 0x11; }));
  TSimBytes reply = Connect(host);
  EXPECT_EQ(reply, SimCountedReply({'V', 113, 113, 0x94, 0x3E, 0x11, 0x00}));
  // Repaired, and left alone for a second: it starts the new firmware by itself.
  host.Write(WriteFrame(Line("VER=1130133")));
  EXPECT_EQ(host.Read(), TSimBytes{'N'});
  host.Read(1300);
  EXPECT_EQ(sim.InterfaceState(), TSimInterface::Bx2Working);
  EXPECT_EQ(sim.InterfaceVersion(), 1130133u);
}

TEST(SimBx2BootLoader, ProgramsCheckedLinesAndRunsTheNewFirmware) {
  TSimOptions o;
  o.Interface = TSimInterface::Bx2BootLoader;
  o.HeartbeatMs = 0;
  TSimulation sim(o);
  TSimTestHost host(sim.Line());
  ASSERT_FALSE(Connect(host).empty());
  host.Write({'I'});
  TSimBytes id = host.Read();
  ASSERT_EQ(id.size(), 13u);
  EXPECT_EQ(id[0], 11);
  EXPECT_EQ(id[1], 'I');
  host.Write({'C'});
  EXPECT_EQ(host.Read().size(), 35u);

  host.Write(WriteFrame(Line("code line one")));
  EXPECT_EQ(host.Read(), TSimBytes{'N'});
  host.Write(WriteFrame(Line("bad sum"), 1));
  EXPECT_EQ(host.Read(), TSimBytes{'E'});
  host.Write(WriteFrame(Line("....VER=1130140....")));
  EXPECT_EQ(host.Read(), TSimBytes{'N'});
  EXPECT_EQ(sim.Stats().LinesProgrammed, 2);
  EXPECT_EQ(sim.Stats().LinesRejected, 1);

  host.Write({'R', 'r'});
  host.Read(100);
  EXPECT_EQ(sim.InterfaceState(), TSimInterface::Bx2Working);
  EXPECT_EQ(sim.InterfaceVersion(), 1130140u);
  host.Baud(2400);
  host.Write({0x02, 0xFF, 0x56, 0xA9});
  TSimBytes v = host.Read(800, 40);
  ASSERT_GE(v.size(), 7u);
  EXPECT_EQ(v[v.size() - 9 + 3], 0x9C);  // 1130140 = 0x113E9C, low byte first
}

TEST(SimBx2BootLoader, ImageWithoutVersionMarkLeavesTheInterfaceBadlyProgrammed) {
  TSimOptions o;
  o.Interface = TSimInterface::Bx2BootLoader;
  TSimulation sim(o);
  TSimTestHost host(sim.Line());
  ASSERT_FALSE(Connect(host).empty());
  host.Write(WriteFrame(Line("no mark here")));
  EXPECT_EQ(host.Read(), TSimBytes{'N'});
  sim.PowerCycle();
  EXPECT_EQ(sim.InterfaceState(), TSimInterface::Bx2BadlyProgrammed);
}

TEST(SimBx2BootLoader, BreakSendsAWorkingInterfaceToItsBootLoaderAndReleaseBringsItBack) {
  TSimOptions o;
  o.HeartbeatMs = 0;
  TSimulation sim(o);
  TSimTestHost host(sim.Line());
  TSimOptions stuckOptions = o;
  stuckOptions.Interface = TSimInterface::Bx2BootLoader;
  TSimulation stuck(stuckOptions);  // started in its boot loader: no firmware to go back to
  stuck.Line()->HostOpen();
  stuck.Line()->HostSetBreak(true);
  stuck.Line()->HostSetBreak(false);
  sim.Line()->HostSetBreak(true);
  EXPECT_EQ(sim.InterfaceState(), TSimInterface::Bx2BootLoader);
  sim.Line()->HostSetBreak(false);
  host.Write({0x02, 0xFF, 0x56, 0xA9});
  EXPECT_TRUE(host.Read(150).empty());
  // Nobody programs it: after two seconds it starts its firmware again.
  TSimBytes announce = host.Read(2600, 40);
  EXPECT_EQ(sim.InterfaceState(), TSimInterface::Bx2Working);
  ASSERT_GE(announce.size(), 3u);
  EXPECT_EQ(announce[2], 'V');
  EXPECT_EQ(stuck.InterfaceState(), TSimInterface::Bx2BootLoader);
}

// The text boot loader's commands end after a length that depends on their letter;
// a command only ever comes out whole, and the next one starts afresh.
TEST(SimTextCommands, EachCommandComesOutWholeAfterItsLastByte) {
  struct TCase {
    const char* Name;
    TSimBytes Command;
  };
  TSimBytes write(TSimTextCommandAssembler::LineLength + 2, 0x30);
  write[0] = 'W';
  const TCase cases[] = {{"version", {'V'}}, {"read", {'R', 'W'}}, {"write", write}};
  TSimTextCommandAssembler commands;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    for (size_t i = 0; i + 1 < c.Command.size(); ++i)
      EXPECT_FALSE(commands.Feed(c.Command[i]).has_value()) << "byte " << i;
    const auto whole = commands.Feed(c.Command.back());
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(*whole, c.Command);
  }
  EXPECT_FALSE(commands.Feed('W').has_value());
  commands.Reset();  // the unfinished write is dropped
  EXPECT_EQ(commands.Feed('V'), TSimBytes{'V'});
}

}  // namespace
