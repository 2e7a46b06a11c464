// Cases from the fault soak, kept as regular tests: the calibration cycle against
// a simulated device with faults on the wire or interruptions during a tick. Whatever
// happens, the device must end with each target at its old value or the right one,
// and "OK!" may only be logged when both hold the right one.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CalibrationCycle.h"
#include "sim/Simulator.h"
#include "tests/common/ProgramUnits.h"
#include "tools/soak/SoakScenario.h"

namespace {

constexpr uint16_t Source = 0x21C4;
constexpr uint16_t FirstTarget = 0x21A8;
constexpr uint16_t SecondTarget = 0x21C2;
constexpr uint16_t OldValue = 4242;  // what the targets hold before the run
constexpr uint16_t SourceValue = 1003;
constexpr uint16_t RightValue = 6419;  // 1003 * 64 / 10, rounded

struct TRunEnd {
  bool OkLogged = false;
  size_t Outcomes = 0;
  uint16_t First = 0;
  uint16_t Second = 0;
  uint16_t SourceAfter = 0;
  int FramesSent = 0;
};

using TInterrupt = std::function<void(const std::string&, TSimulation&, TCalibrationCycle&)>;

// Runs the cycle until a device is done, the user ended it, or maxTicks have passed.
TRunEnd RunCycle(TSimOptions options, const TInterrupt& interrupt = {}, int maxTicks = 12) {
  options.CalibrationSource = SourceValue;
  TSimulation sim(options);
  sim.WriteWord(FirstTarget, OldValue);
  sim.WriteWord(SecondTarget, OldValue);
  const int port = sim.RegisterAsPort();
  EXPECT_GT(port, 0);
  TSoakView view;
  TSoakInterrupt onLog;
  if (interrupt)
    onLog = [&](const std::string& text, int, TCalibrationCycle& cycle) {
      interrupt(text, sim, cycle);
    };
  DriveSoakCycle(view, port, maxTicks, onLog);
  return {view.Has("OK!"),           view.Outcomes.size(),
          sim.ReadWord(FirstTarget), sim.ReadWord(SecondTarget),
          sim.ReadWord(Source),      sim.Stats().FramesSent};
}

void ExpectSoundEnd(const TRunEnd& end) {
  for (const uint16_t target : {end.First, end.Second})
    EXPECT_TRUE(target == OldValue || target == RightValue) << target;
  if (end.OkLogged) {
    EXPECT_EQ(end.First, RightValue);
    EXPECT_EQ(end.Second, RightValue);
  }
  EXPECT_EQ(end.SourceAfter, SourceValue);
}

// The cable pulled after every possible number of frames, the gaps between the two
// target writes included: never a half-written value, never "OK!" for one.
TEST(SoakRegression, LineVanishingAtAnyFrameLeavesNoWrongValue) {
  const TRunEnd clean = RunCycle({});
  ASSERT_TRUE(clean.OkLogged);
  ASSERT_GT(clean.FramesSent, 0);
  for (int frames = 1; frames < clean.FramesSent; ++frames) {
    SCOPED_TRACE("vanish after frame " + std::to_string(frames));
    TSimOptions options;
    options.Faults.VanishAfterFrames = frames;
    ExpectSoundEnd(RunCycle(options, {}, 3));
  }
}

// Heavy, seeded damage on the wire: whatever is read or verified, nothing false is
// stored and "OK!" means both targets hold the right value.
TEST(SoakRegression, DamagedRepliesNeverStoreAWrongValue) {
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TSimOptions options;
    options.Faults.Seed = seed;
    options.Faults.CorruptChecksum = 0.25;
    options.Faults.NoiseBytes = 0.25;
    options.Faults.DropReply = 0.1;
    ExpectSoundEnd(RunCycle(options));
  }
}

// Interruptions from the view inside a tick, at each step of the correction.
TEST(SoakRegression, InterruptionsDuringTheCorrectionLeaveASoundDevice) {
  struct TCase {
    const char* Name;
    const char* After;
    bool Completes;  // the correction finishes before the interruption takes effect
    std::function<void(TSimulation&, TCalibrationCycle&)> Act;
  };
  const std::vector<TCase> cases = {
      {"same port", "Adapting..", true,
       [](TSimulation&, TCalibrationCycle& c) { c.ChoosePortItem(1); }},
      {"same port", "Connected!", true,
       [](TSimulation&, TCalibrationCycle& c) { c.ChoosePortItem(1); }},
      // Closing before the first write ends the device there; after it, the
      // correction is finished first.
      {"close", "Software version", false,
       [](TSimulation&, TCalibrationCycle& c) { c.Shutdown(); }},
      {"close", "Adapting..", true, [](TSimulation&, TCalibrationCycle& c) { c.Shutdown(); }},
      {"vanish", "Adapting..", false, [](TSimulation& s, TCalibrationCycle&) { s.Vanish(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Name) + " after " + c.After);
    bool done = false;
    const TRunEnd end =
        RunCycle({}, [&](const std::string& text, TSimulation& sim, TCalibrationCycle& cycle) {
          if (done || text.rfind(c.After, 0) != 0) return;
          done = true;
          c.Act(sim, cycle);
        });
    EXPECT_TRUE(done);
    ExpectSoundEnd(end);
    EXPECT_EQ(end.OkLogged, c.Completes);
    // A close ends the device with its result (or as interrupted); a pulled cable ends
    // no device: it is tried again once the port is back.
    EXPECT_EQ(end.Outcomes, std::string(c.Name) == "vanish" ? 0u : 1u);
  }
}

}  // namespace
