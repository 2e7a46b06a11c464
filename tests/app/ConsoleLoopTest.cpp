// The console's loop mode: one calibration per unit. The decisions between units on
// their own, then whole runs against simulated units that come and go.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/CalibrationCycle.h"
#include "app/ConsoleFrontEnd.h"
#include "app/UnitWatcher.h"
#include "serial/PortMap.h"
#include "sim/Simulator.h"
#include "support/StopRequest.h"

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

// ---- whole runs ----------------------------------------------------------------

// Runs calibrator-cli --loop in process on the simulation's port and interrupts it
// as Ctrl-C does (through the stop request its handler makes, so that Windows, whose
// default SIGINT ends the process, runs it too) after `seconds`.
int RunLoopFor(TSimulation& sim, double seconds) {
  const int number = sim.RegisterAsPort();
  std::thread interrupter([seconds] {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    RequestStop(TStopCause::Interrupt);
  });
  const int status =
      RunConsole({"--port", "COM" + std::to_string(number), "--loop", "--color", "never"});
  interrupter.join();
  UnregisterVirtualPort(number);
  return status;
}

uint16_t Changed(const TSimUnitRecord& unit, uint16_t address) {
  for (const auto& [at, value] : unit.ChangedWords)
    if (at == address) return value;
  return 0;
}

TEST(ConsoleLoop, AUnitThatStaysIsCalibratedOnce) {
  TSimulation sim;  // the unit stays for good
  EXPECT_EQ(RunLoopFor(sim, 20), ceOk);
  const auto units = sim.Units();
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0].Writes.size(), 6u);  // switch on, two words of two bytes, switch off
  EXPECT_EQ(sim.ReadWord(0x21A8), ScaleCalibration(1003));
  EXPECT_FALSE(sim.EepromWritesEnabled());
}

TEST(ConsoleLoop, UnitsInTurnAreEachCalibratedWithTheirOwnValue) {
  TSimOptions options;
  options.UnitStaysMs = 4000;
  options.UnitGapMs = 3000;
  options.NextCalibrationSource = 1000;
  options.UnitCount = 2;
  TSimulation sim(options);
  EXPECT_EQ(RunLoopFor(sim, 12), ceOk);
  const auto units = sim.Units();
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(Changed(units[0], 0x21A8), ScaleCalibration(1003));
  EXPECT_EQ(Changed(units[0], 0x21C2), ScaleCalibration(1003));
  EXPECT_EQ(Changed(units[1], 0x21A8), ScaleCalibration(1000));
  EXPECT_EQ(Changed(units[1], 0x21C2), ScaleCalibration(1000));
  EXPECT_EQ(units[0].Writes.size(), 6u);
  EXPECT_EQ(units[1].Writes.size(), 6u);
}

TEST(ConsoleLoop, AUnitThatErrsIsNotRetriedUntilItHasGone) {
  TSimOptions options;
  options.DeviceVersion = 2606150;  // outside the gate: switch on, "Error occurred", off
  options.UnitStaysMs = 6000;
  options.UnitGapMs = 3000;
  options.UnitCount = 2;
  TSimulation sim(options);
  EXPECT_EQ(RunLoopFor(sim, 12), ceDeviceError);
  const auto units = sim.Units();
  ASSERT_EQ(units.size(), 2u);
  for (const auto& unit : units) {
    ASSERT_EQ(unit.Writes.size(), 2u) << "unit " << unit.Number;  // one attempt each
    EXPECT_EQ(unit.Writes[0].Address, 1279);
    EXPECT_EQ(unit.Writes[1].Address, 1279);
  }
}

// Ctrl-C before any unit was done is no success, whatever "0 of 0" would say.
TEST(ConsoleLoop, NoUnitDoneEndsWithTheInterruptStatus) {
  TSimOptions options;
  options.Faults.DeviceSilent = true;  // the interface answers, no device behind it
  TSimulation sim(options);
  EXPECT_EQ(RunLoopFor(sim, 2), 130);
  EXPECT_TRUE(sim.Writes().empty());
}

}  // namespace
