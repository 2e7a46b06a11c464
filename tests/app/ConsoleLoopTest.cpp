// The console's loop mode: the decisions between units on their own, and an interrupt
// before any unit was done. Whole runs against units that come and go are the
// end-to-end loop script's (cli_loop_bxsim.sh).
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "app/CalibrationCycle.h"
#include "app/console/Modes.h"
#include "app/console/UnitWatcher.h"
#include "serial/PortMap.h"
#include "sim/Simulator.h"
#include "support/StopRequest.h"
#include "tests/common/TestWaits.h"

namespace {

using TVerdict = TUnitPresence::TVerdict;

const TUnitIdentity UnitA{true, 0x51AB0C, 2606207, 0};
const TUnitIdentity UnitB{true, 0x51AB0D, 2606207, 0};
const TUnitIdentity NoIdentity{};

TEST(UnitPresence, TheEndedUnitIsGoneOnlyAfterTheAbsenceTime) {
  TUnitPresence p(1500);
  p.Restart(0);
  EXPECT_EQ(p.Probe(100, true, true, UnitA), TVerdict::Stay);  // learns the ended unit
  EXPECT_EQ(p.Probe(20000, true, true, UnitA), TVerdict::Stay);
  EXPECT_EQ(p.Probe(20500, true, false, NoIdentity), TVerdict::Stay);
  EXPECT_EQ(p.Probe(21000, true, true, UnitA), TVerdict::Stay);  // a missed answer or two
  EXPECT_EQ(p.Probe(22000, true, false, NoIdentity), TVerdict::Stay);
  EXPECT_EQ(p.Probe(22500, true, false, NoIdentity), TVerdict::Gone);
  EXPECT_TRUE(p.UnitGone());
  EXPECT_EQ(p.Probe(23000, true, false, NoIdentity), TVerdict::Stay);  // logged once
  // After an absence even the same identity is a new connection.
  EXPECT_EQ(p.Probe(24000, true, true, UnitA), TVerdict::NextUnit);
}

TEST(UnitPresence, IdentityGuardsAgainstTheSameUnitAndCatchesASwap) {
  TUnitPresence p(1500);
  p.Restart(0);
  EXPECT_EQ(p.Probe(0, true, true, UnitA), TVerdict::Stay);
  // The interface went away (USB unplugged) for longer than the absence time and
  // came back with the same unit on the bus: not a new unit.
  for (int t = 250; t < 10000; t += 250)
    EXPECT_EQ(p.Probe(t, false, false, NoIdentity), TVerdict::Stay);
  EXPECT_EQ(p.Probe(10000, true, true, UnitA), TVerdict::Stay);
  // An answer without identity tells nothing against it.
  EXPECT_EQ(p.Probe(10250, true, true, NoIdentity), TVerdict::Stay);
  // Another unit answers without any absence seen: the next unit at once.
  EXPECT_EQ(p.Probe(10500, true, true, UnitB), TVerdict::NextUnit);

  // The first answer after an end is the ended unit, even after a failed open.
  p.Restart(20000);
  EXPECT_EQ(p.Probe(20000, false, false, NoIdentity), TVerdict::Stay);
  EXPECT_EQ(p.Probe(20250, true, true, UnitB), TVerdict::Stay);
  EXPECT_EQ(p.Probe(20500, true, true, UnitB), TVerdict::Stay);
}

// ---- a whole run ---------------------------------------------------------------

// Ctrl-C before any unit was done is no success, whatever "0 of 0" would say. The
// interrupt comes through the stop request Ctrl-C's handler makes (Windows, whose
// default SIGINT ends the process, runs this too), once the loop has asked the
// interface a good many times without finding a device.
TEST(ConsoleLoop, NoUnitDoneEndsWithTheInterruptStatus) {
  TSimOptions options;
  options.Faults.DeviceSilent = true;  // the interface answers, no device behind it
  TSimulation sim(options);
  const int number = sim.RegisterAsPort();
  std::thread interrupter([&sim] {
    WaitUntil([&sim] { return sim.Stats().HostFrames >= 20; }, 60000);
    RequestStop(TStopCause::Interrupt);
  });
  const int status =
      RunConsole({"--port", "COM" + std::to_string(number), "--loop", "--color", "never"});
  interrupter.join();
  UnregisterVirtualPort(number);
  EXPECT_GE(sim.Stats().HostFrames, 20);
  EXPECT_EQ(status, 130);
  EXPECT_TRUE(sim.Writes().empty());
}

}  // namespace
