#include "tools/soak/SoakScenario.h"

#include <QObject>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <vector>

#include "app/CalibrationCycle.h"

namespace {

constexpr uint16_t SourceAddress = 0x21C4;
constexpr uint16_t FirstTarget = 0x21A8;
constexpr uint16_t SecondTarget = 0x21C2;
// A run that has not ended by then is left unfinished (a device that stays silent).
constexpr int MaxTicks = 12;

class TRandom {
 public:
  explicit TRandom(uint32_t seed) : Engine(seed) {}
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(Engine) < p; }
  int Int(int low, int high) { return std::uniform_int_distribution<int>(low, high)(Engine); }
  double Real(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(Engine);
  }

 private:
  std::mt19937 Engine;
};

uint32_t PickVersion(TRandom& random) {
  static const int families[] = {19, 20, 26, 27};
  const int family = families[random.Int(0, 3)];
  const int middle = random.Int(0, 99);
  if (random.Chance(0.85)) return family * 100000 + middle * 1000 + random.Int(200, 299);
  // Versions the correction refuses: old minors (with either switch) or other families.
  switch (random.Int(0, 2)) {
    case 0:
      return family * 100000 + middle * 1000 + random.Int(141, 199);
    case 1:
      return family * 100000 + middle * 1000 + random.Int(100, 140);
    default:
      return 21 * 100000 + middle * 1000 + random.Int(200, 299);
  }
}

void PickDevice(TRandom& random, TSoakScenario& s) {
  TSimOptions& o = s.Options;
  o.Interface = random.Chance(0.9) ? TSimInterface::Bx2Working : TSimInterface::Bx1;
  o.DeviceVersion = PickVersion(random);
  o.VersionForm = static_cast<TSimVersionForm>(random.Int(0, 2));
  o.DeviceAddress = random.Chance(0.7) ? 0 : static_cast<uint8_t>(random.Int(1, 10));
  o.CalibrationSource =
      static_cast<uint16_t>(random.Chance(0.95) ? random.Int(0, 10239) : random.Int(10240, 65535));
  s.OldFirst = static_cast<uint16_t>(random.Int(0, 65535));
  s.OldSecond = random.Chance(0.8) ? s.OldFirst : static_cast<uint16_t>(random.Int(0, 65535));
}

void PickFaults(TRandom& random, TSoakScenario& s) {
  TSimFaults& f = s.Options.Faults;
  f.Seed = s.Seed;
  auto count = [&](bool on) { s.FaultKinds += on ? 1 : 0; };
  if (random.Chance(0.3)) f.DropReply = random.Real(0.02, 0.2);
  if (random.Chance(0.3)) f.CorruptChecksum = random.Real(0.02, 0.2);
  if (random.Chance(0.3)) f.NoiseBytes = random.Real(0.05, 0.3);
  if (random.Chance(0.2)) {
    f.LateReply = random.Real(0.02, 0.15);
    f.LateMs = random.Int(100, 800);
  }
  if (random.Chance(0.12)) f.VanishAfterFrames = random.Int(1, 80);
  f.DeviceSilent = random.Chance(0.03);
  count(f.DropReply > 0);
  count(f.CorruptChecksum > 0);
  count(f.NoiseBytes > 0);
  count(f.LateReply > 0);
  count(f.VanishAfterFrames >= 0);
  count(f.DeviceSilent);
}

void PickAction(TRandom& random, TSoakScenario& s) {
  if (!random.Chance(0.35)) return;
  s.Action = static_cast<TSoakAction>(random.Int(1, 5));
  static const char* const triggers[] = {"Connected!", "Software version", "Adapting..", "* "};
  if (random.Chance(0.6))
    s.ActionAfter = triggers[random.Int(0, 3)];
  else
    s.ActionAtCall = random.Int(1, 40);
  ++s.FaultKinds;
}

const char* ActionName(TSoakAction action) {
  switch (action) {
    case TSoakAction::None:
      return "none";
    case TSoakAction::DeviceSilent:
      return "device-silent";
    case TSoakAction::Vanish:
      return "vanish";
    case TSoakAction::ChooseSelect:
      return "choose-select";
    case TSoakAction::ChooseSame:
      return "choose-same";
    case TSoakAction::Shutdown:
      return "shutdown";
  }
  return "?";
}

void Act(TSoakAction action, TSimulation& sim, TCalibrationCycle& cycle) {
  switch (action) {
    case TSoakAction::None:
      break;
    case TSoakAction::DeviceSilent:
      sim.SetDeviceSilent(true);
      break;
    case TSoakAction::Vanish:
      sim.Vanish();
      break;
    case TSoakAction::ChooseSelect:
      cycle.ChoosePortItem(0);
      break;
    case TSoakAction::ChooseSame:
      cycle.ChoosePortItem(1);
      break;
    case TSoakAction::Shutdown:
      cycle.Shutdown();
      break;
  }
}

// Writes the tool may make: the two targets and the EEPROM write switch.
bool ExpectedWriteAddress(uint16_t address) {
  static const std::set<uint16_t> allowed = {
      FirstTarget, FirstTarget + 1, SecondTarget, SecondTarget + 1, 512, 1279};
  return allowed.count(address) != 0;
}

void Judge(const TSoakScenario& s, const TSimulation& sim, const TSoakView& view,
           TSoakResult& result) {
  std::ostringstream detail;
  const int64_t right = ExpectedCorrection(s.Options.CalibrationSource);
  result.OkLogged = view.Has("OK!");
  const std::pair<uint16_t, uint16_t> targets[] = {{FirstTarget, s.OldFirst},
                                                   {SecondTarget, s.OldSecond}};
  for (const auto& [address, old] : targets) {
    const uint16_t now = sim.ReadWord(address);
    if (result.OkLogged && now != right) {
      result.FalseOk = true;
      detail << "OK! logged but 0x" << std::hex << address << std::dec << " = " << now << " (right "
             << right << "); ";
    }
    if (now != old && now != right) {
      result.WrongValue = true;
      detail << "0x" << std::hex << address << std::dec << " = " << now << " (old " << old
             << ", right " << right << "); ";
    }
  }
  if (sim.ReadWord(SourceAddress) != s.Options.CalibrationSource) {
    result.WrongValue = true;
    detail << "source changed to " << sim.ReadWord(SourceAddress) << "; ";
  }
  for (const auto& write : sim.Writes()) {
    if (write.Kept && !ExpectedWriteAddress(write.Address)) {
      result.WrongValue = true;
      detail << "stray write at " << write.Address << "; ";
    }
  }
  // Firmware up to minor 140 has no write switch: its memory is always writable.
  result.EepromLeftOpen = sim.EepromWritesEnabled() && s.Options.DeviceVersion % 1000 > 140;
  result.Detail = detail.str();
}

}  // namespace

int64_t ExpectedCorrection(uint16_t source) {
  // v * 64 is even, so its tenth never ends in exactly .5: adding 5 rounds it.
  return (static_cast<int64_t>(source) * 64 + 5) / 10;
}

TSoakCycleRun DriveSoakCycle(TSoakView& view, int port, int maxTicks,
                             const TSoakInterrupt& interrupt) {
  TSoakCycleRun run;
  bool shutDown = false;
  {
    TCalibrationCycle cycle(view);
    QObject::connect(&cycle, &TCalibrationCycle::ShutdownDone, [&] { shutDown = true; });
    if (interrupt)
      view.OnLog = [&](const std::string& text, int calls) {
        if (cycle.InTick()) interrupt(text, calls, cycle);
      };
    cycle.Initialise();
    cycle.ChoosePortNumber(static_cast<uint32_t>(port));
    while (run.Ticks < maxTicks && view.Outcomes.empty() && !shutDown && cycle.TimerEnabled()) {
      cycle.TestConnection();
      ++run.Ticks;
    }
    run.Finished = !view.Outcomes.empty() || shutDown || !cycle.TimerEnabled();
  }
  view.OnLog = nullptr;  // it refers to this call's cycle and interrupt
  return run;
}

TSoakScenario MakeSoakScenario(uint32_t seed) {
  TSoakScenario s;
  s.Seed = seed;
  TRandom random(seed);
  PickDevice(random, s);
  PickFaults(random, s);
  PickAction(random, s);
  return s;
}

std::string DescribeSoakScenario(const TSoakScenario& s) {
  const TSimOptions& o = s.Options;
  const TSimFaults& f = o.Faults;
  std::ostringstream out;
  out << "seed " << s.Seed << ": " << (o.Interface == TSimInterface::Bx1 ? "BX1" : "BX2")
      << " device " << o.DeviceVersion << " form " << static_cast<int>(o.VersionForm) << " address "
      << int(o.DeviceAddress) << " source " << o.CalibrationSource << " old " << s.OldFirst << "/"
      << s.OldSecond << " | drop " << f.DropReply << " corrupt " << f.CorruptChecksum << " noise "
      << f.NoiseBytes << " late " << f.LateReply << "x" << f.LateMs << "ms vanish-after "
      << f.VanishAfterFrames << " silent " << f.DeviceSilent << " | action "
      << ActionName(s.Action);
  if (s.Action != TSoakAction::None) {
    if (s.ActionAfter.empty())
      out << " at log call " << s.ActionAtCall;
    else
      out << " after \"" << s.ActionAfter << "\"";
  }
  return out.str();
}

TSoakResult RunSoakScenario(const TSoakScenario& s, std::string* log) {
  TSoakResult result;
  TSimulation sim(s.Options);
  sim.WriteWord(FirstTarget, s.OldFirst);
  sim.WriteWord(SecondTarget, s.OldSecond);
  const int port = sim.RegisterAsPort();
  if (port <= 0) {
    result.Detail = "the simulated port could not be registered";
    return result;
  }
  TSoakView view;
  bool acted = s.Action == TSoakAction::None;
  const TSoakCycleRun run = DriveSoakCycle(
      view, port, MaxTicks, [&](const std::string& text, int calls, TCalibrationCycle& cycle) {
        if (acted) return;
        const bool hit =
            s.ActionAfter.empty() ? calls >= s.ActionAtCall : text.rfind(s.ActionAfter, 0) == 0;
        if (!hit) return;
        acted = true;
        Act(s.Action, sim, cycle);
      });
  result.Ticks = run.Ticks;
  result.Finished = run.Finished;
  Judge(s, sim, view, result);
  if (log) {
    for (const auto& line : view.Lines) *log += line + "\n";
  }
  return result;
}
