// The console's loop mode on a production line, against the simulator with real
// wire pacing: the time from a new unit answering to its "OK!", next to the time a
// single run takes from the port choice to "OK!" (goal: at most 1.05 of it), and
// the traffic on the line while the loop waits between units.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CalibrationCycle.h"
#include "app/Startup.h"
#include "app/console/Modes.h"
#include "app/console/UnitWatcher.h"
#include "link/BusDriver.h"
#include "serial/PortMap.h"
#include "sim/Simulator.h"
#include "support/Dialogs.h"

namespace {

using TSteady = std::chrono::steady_clock;

double MsSince(TSteady::time_point t0) {
  return std::chrono::duration<double, std::milli>(TSteady::now() - t0).count();
}

class TLineView : public TCycleView {
 public:
  void AddLog(const std::string& text, bool, uint32_t, TLogStyle, bool) override {
    if (text == "OK!") ++Ok;
    if (text == "Waiting for the next device...") ++Waiting;
  }
  void SelectPortItem(int) override {}
  int Ok = 0;
  int Waiting = 0;
};

// Runs the event loop until `done` or `limitMs` has passed; false on the limit.
bool RunUntil(const std::function<bool()>& done, double limitMs) {
  const auto t0 = TSteady::now();
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (done() || MsSince(t0) > limitMs) loop.quit();
  });
  poll.start(1);
  loop.exec();
  return done();
}

TSimOptions Paced() {
  TSimOptions options;
  options.Paced = true;
  options.HeartbeatMs = 0;
  return options;
}

// A single run: port choice to "OK!".
double SingleRunMs() {
  TSimulation sim(Paced());
  const int port = sim.RegisterAsPort();
  TLineView view;
  TCalibrationCycle cycle(view);
  cycle.Initialise();
  const auto t0 = TSteady::now();
  cycle.ChoosePortNumber(static_cast<uint32_t>(port));
  RunUntil([&] { return view.Ok == 1; }, 60000);
  const double ms = MsSince(t0);
  cycle.Shutdown();
  UnregisterVirtualPort(port);
  return ms;
}

// Frames on the line (both directions) per second over `seconds` of the event loop.
double FramesPerSecond(TSimulation& sim, double seconds) {
  const TSimStats before = sim.Stats();
  RunUntil([] { return false; }, seconds * 1000);
  const TSimStats after = sim.Stats();
  const int frames = after.HostFrames + after.BadHostFrames + after.FramesSent - before.HostFrames -
                     before.BadHostFrames - before.FramesSent;
  return frames / seconds;
}

struct TLoopFigures {
  std::vector<double> NextUnitMs;
  double CycleFramesPerSecond = 0;
  double PresentFramesPerSecond = 0;
  double AbsentFramesPerSecond = 0;
};

TLoopFigures LoopRun(int units) {
  TLoopFigures figures;
  TSimulation sim(Paced());
  const int port = sim.RegisterAsPort();
  TLineView view;
  TCalibrationCycle cycle(view);
  TUnitWatcher watcher(view);
  watcher.OnNextUnit = [&](TThreadPtr<TBusDriver> driver) { cycle.AdoptDriver(std::move(driver)); };
  cycle.Initialise();
  // The console's wiring: after each unit the watcher takes the port.
  int handled = 0;
  QTimer handOver;
  QObject::connect(&handOver, &QTimer::timeout, [&] {
    if (view.Ok > handled && !cycle.Driver() && !watcher.Watching()) {
      handled = view.Ok;
      watcher.Watch(static_cast<uint32_t>(port));
    }
  });
  handOver.start(1);

  const TSimStats s0 = sim.Stats();
  const auto c0 = TSteady::now();
  cycle.ChoosePortNumber(static_cast<uint32_t>(port));
  RunUntil([&] { return view.Ok == 1; }, 60000);
  const TSimStats s1 = sim.Stats();
  figures.CycleFramesPerSecond =
      (s1.HostFrames + s1.FramesSent - s0.HostFrames - s0.FramesSent) / (MsSince(c0) / 1000.0);

  for (int unit = 2; unit <= units + 1; ++unit) {
    RunUntil([&] { return watcher.Watching(); }, 5000);
    const double present = FramesPerSecond(sim, 4);
    sim.TakeUnitAway();
    RunUntil([&] { return view.Waiting == unit - 1; }, 10000);
    const double absent = FramesPerSecond(sim, 4);
    figures.PresentFramesPerSecond = std::max(figures.PresentFramesPerSecond, present);
    figures.AbsentFramesPerSecond = std::max(figures.AbsentFramesPerSecond, absent);
    const auto t0 = TSteady::now();
    sim.AttachNextUnit(static_cast<int32_t>(1000 + unit));
    if (!RunUntil([&] { return view.Ok == unit; }, 60000)) break;
    figures.NextUnitMs.push_back(MsSince(t0));
  }
  watcher.Stop();
  cycle.Shutdown();
  UnregisterVirtualPort(port);
  return figures;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  TProgramUnits units;
  SetDialogHandler(std::make_unique<TConsoleDialogs>(TAnswerMode::No, false));

  std::vector<double> single;
  for (int i = 0; i < 3; ++i) single.push_back(SingleRunMs());
  const double singleMs = Median(single);
  const TLoopFigures loop = LoopRun(3);
  const double loopMs = Median(loop.NextUnitMs);
  std::printf("single run, port choice to OK!: %.0f ms (median of 3)\n", singleMs);
  std::printf("loop, new unit answering to OK!: %.0f ms (median of %zu units)\n", loopMs,
              loop.NextUnitMs.size());
  std::printf("loop next unit / single run: ratio %.3f (goal at most 1.05)\n", loopMs / singleMs);
  std::printf("traffic of a calibration: %.1f frames/s\n", loop.CycleFramesPerSecond);
  std::printf("RESULT loop_wait_unit_present %.1f frames/s - -\n", loop.PresentFramesPerSecond);
  std::printf("RESULT loop_wait_unit_absent %.1f frames/s - -\n", loop.AbsentFramesPerSecond);
  return 0;
}
