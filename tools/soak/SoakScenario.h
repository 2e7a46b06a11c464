#pragma once
// One soak run: a seeded set-up of the simulated interface and device, faults on
// the wire and interruptions from the view, the calibration cycle run tick by tick
// against it, and the device's memory judged against what the log claimed.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/CalibrationCycle.h"
#include "sim/Simulator.h"

// Something the view does from inside AddLog while a tick runs.
enum class TSoakAction {
  None,
  DeviceSilent,  // the device stops answering
  Vanish,        // the cable is pulled
  ChooseSelect,  // the user picks "Select com port"
  ChooseSame,    // the user picks the same port again
  Shutdown,      // the window is closed
};

struct TSoakScenario {
  uint32_t Seed = 0;
  TSimOptions Options;
  uint16_t OldFirst = 0;  // the targets' values before the run
  uint16_t OldSecond = 0;
  TSoakAction Action = TSoakAction::None;
  std::string ActionAfter;  // the log line that triggers it ("" = the n-th log call)
  int ActionAtCall = 0;     // log call count that triggers it when ActionAfter is empty
  int FaultKinds = 0;       // how many kinds of fault this run injects
};

struct TSoakResult {
  bool OkLogged = false;    // "OK!" appeared in the log
  bool FalseOk = false;     // "OK!" while a target does not hold the right value
  bool WrongValue = false;  // a target (or the source) holds a value nobody asked for
  bool EepromLeftOpen = false;
  bool Finished = false;  // a device outcome was reported or the run was ended by the user
  int Ticks = 0;
  std::string Detail;  // what went wrong, for the report
};

// The view of a soak run: records the log lines and the device outcomes, and hands
// every log call to OnLog with the number of calls so far.
class TSoakView : public TCycleView {
 public:
  void AddLog(const std::string& text, bool newLine, uint32_t, TLogStyle, bool) override {
    if (newLine || Lines.empty())
      Lines.push_back(text);
    else
      Lines.back() += text;
    ++Calls;
    if (OnLog) OnLog(text, Calls);
  }
  void SelectPortItem(int) override {}
  void DeviceDone(TDeviceOutcome outcome) override { Outcomes.push_back(outcome); }

  bool Has(const std::string& text) const {
    for (const auto& line : Lines)
      if (line == text) return true;
    return false;
  }

  std::vector<std::string> Lines;
  std::vector<TDeviceOutcome> Outcomes;
  std::function<void(const std::string&, int)> OnLog;
  int Calls = 0;
};

// How a driven cycle ended.
struct TSoakCycleRun {
  int Ticks = 0;
  bool Finished = false;  // a device outcome was reported or the run was ended by the user
};

// Called for each log call made while a tick runs (calls: the view's count so far);
// this is where a run interrupts the cycle from inside the view.
using TSoakInterrupt =
    std::function<void(const std::string& text, int calls, TCalibrationCycle& cycle)>;

// Starts a calibration cycle on the view, chooses the port and ticks it until a device
// outcome is reported, the user ended the run, the timer stopped or maxTicks ticks
// have run.
TSoakCycleRun DriveSoakCycle(TSoakView& view, int port, int maxTicks,
                             const TSoakInterrupt& interrupt = {});

// The scenario for a seed; the same seed always gives the same scenario.
TSoakScenario MakeSoakScenario(uint32_t seed);
// A readable one-line description of a scenario.
std::string DescribeSoakScenario(const TSoakScenario& scenario);
// Runs the cycle against the scenario. The program's units and a QCoreApplication
// must exist. When log is given, every log line is appended to it.
TSoakResult RunSoakScenario(const TSoakScenario& scenario, std::string* log = nullptr);
// RoundHalfAway(v * 64 / 10) for a stored word, computed without the tool's code.
int64_t ExpectedCorrection(uint16_t source);
