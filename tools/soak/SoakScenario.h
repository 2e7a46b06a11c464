#pragma once
// One soak run: a seeded set-up of the simulated interface and device, faults on
// the wire and interruptions from the view, the calibration cycle run tick by tick
// against it, and the device's memory judged against what the log claimed.

#include <cstdint>
#include <string>

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

// The scenario for a seed; the same seed always gives the same scenario.
TSoakScenario MakeSoakScenario(uint32_t seed);
// A readable one-line description of a scenario.
std::string DescribeSoakScenario(const TSoakScenario& scenario);
// Runs the cycle against the scenario. The program's units and a QCoreApplication
// must exist. When log is given, every log line is appended to it.
TSoakResult RunSoakScenario(const TSoakScenario& scenario, std::string* log = nullptr);
// RoundHalfAway(v * 64 / 10) for a stored word, computed without the tool's code.
int64_t ExpectedCorrection(uint16_t source);
