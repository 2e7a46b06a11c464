// Wall time of whole calibration runs against the simulator with real wire pacing,
// next to the floor the protocol itself imposes, and the CPU the cycle uses while it
// waits for a device that is not there.
//
// The floor of a run is what no implementation of the same protocol could avoid:
//   the first tick of the 200 ms timer
// + every byte's time on the wire (both directions, at its baud rate)
// + the pauses the protocol prescribes (time the main and updater threads spend in Pause)
// + the read time-outs the protocol sits out (reads that end with nothing, and the
//   closing gap of reads that end on their interval time-out)
// + one driver round (10 ms of a read that must end with nothing) for every frame the
//   BX2 driver sends, since its loop may only write at the end of such a round, and for
//   every round a handed-over frame waits for the line to become quiet.
// The ratio wall / floor is what the tool adds on top (thread hand-overs, the driver's
// quiet rounds, the simulated equipment's own reaction time, processing).
#include <sys/resource.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "app/CalibrationCycle.h"
#include "app/Startup.h"
#include "app/console/Modes.h"
#include "link/BX2Driver.h"
#include "serial/PortMap.h"
#include "serial/SerialPort.h"
#include "serial/VirtualLine.h"
#include "sim/Simulator.h"
#include "support/Dialogs.h"
#include "support/Measurements.h"

namespace {

using TSteady = std::chrono::steady_clock;

double MsSince(TSteady::time_point t0) {
  return std::chrono::duration<double, std::milli>(TSteady::now() - t0).count();
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class TQuietView : public TCycleView {
 public:
  void AddLog(const std::string& text, bool, uint32_t, TLogStyle, bool) override {
    if (text == "OK!") Ok = true;
  }
  void SelectPortItem(int) override {}
  void DeviceDone(TDeviceOutcome) override { Done = true; }
  bool Done = false;
  bool Ok = false;
};

// Wire time of everything traced, and the prescribed waits of the threads that
// report them.
struct TFloor {
  std::atomic<int64_t> WireMicros{0};
  std::atomic<int> DriverFrames{0};
};

constexpr double DriverRoundMs = 10.0;
constexpr int DriverBaud = 2400;

struct TRunResult {
  double WallMs = 0;
  double FloorMs = 0;
  double WireMs = 0;
  double WaitMs = 0;
  int DriverFrames = 0;
  int QuietRounds = 0;
  bool Ok = false;
};

TRunResult RunOnce(TSimOptions options) {
  TFloor floor;
  const auto mainThread = std::this_thread::get_id();
  SetGlobalSerialTrace([&floor, mainThread](const TTraceBurst& burst) {
    const bool parity = burst.Parity != 0 && burst.Parity != 'N';
    floor.WireMicros +=
        static_cast<int64_t>(burst.Bytes.size()) * TVirtualLine::CharMicros(burst.Baud, parity);
    if (burst.Sent && burst.Baud == DriverBaud && std::this_thread::get_id() != mainThread)
      ++floor.DriverFrames;
  });
  options.Paced = true;
  TSimulation sim(options);
  const int port = sim.RegisterAsPort();
  TQuietView view;
  TCalibrationCycle cycle(view);
  cycle.Initialise();
  const int64_t paused0 = PausedMicros();
  const int64_t idle0 = IdleReadMicros();
  const int64_t quiet0 = QuietRoundsWithFrameWaiting();
  const auto t0 = TSteady::now();
  cycle.ChoosePortNumber(static_cast<uint32_t>(port));
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (view.Done || MsSince(t0) > 120000) loop.quit();
  });
  poll.start(1);
  loop.exec();
  TRunResult r;
  r.WallMs = MsSince(t0);
  r.Ok = view.Ok;
  cycle.Shutdown();
  SetGlobalSerialTrace({});
  UnregisterVirtualPort(port);
  r.WireMs = static_cast<double>(floor.WireMicros) / 1000.0;
  r.WaitMs = static_cast<double>(PausedMicros() - paused0 + IdleReadMicros() - idle0) / 1000.0;
  r.DriverFrames = floor.DriverFrames;
  r.QuietRounds = static_cast<int>(QuietRoundsWithFrameWaiting() - quiet0);
  r.WaitMs += (r.DriverFrames + r.QuietRounds) * DriverRoundMs;
  r.FloorMs = 200.0 + r.WireMs + r.WaitMs;
  return r;
}

void Report(const char* name, const TRunResult& r, double goal) {
  std::printf(
      "%s: wall %.0f ms, floor %.0f ms (tick 200 + wire %.0f + prescribed waits %.0f, "
      "%d driver frames, %d quiet rounds), %s, ratio %.3f%s\n",
      name, r.WallMs, r.FloorMs, r.WireMs, r.WaitMs, r.DriverFrames, r.QuietRounds,
      r.Ok ? "OK!" : "NOT OK", r.WallMs / r.FloorMs,
      goal > 0 ? (" (goal at most " + std::to_string(goal).substr(0, 4) + ")").c_str() : "");
}

void IdleCpu() {
  auto line = std::make_shared<TVirtualLine>(true);  // a port with nothing behind it
  const int port = RegisterVirtualPortAnywhere(line);
  TQuietView view;
  TCalibrationCycle cycle(view);
  cycle.Initialise();
  cycle.ChoosePortNumber(static_cast<uint32_t>(port));
  const double cpu0 = CpuSeconds();
  const auto t0 = TSteady::now();
  QEventLoop loop;
  QTimer::singleShot(10000, &loop, &QEventLoop::quit);
  loop.exec();
  const double share = (CpuSeconds() - cpu0) / (MsSince(t0) / 1000.0) * 100.0;
  cycle.Shutdown();
  UnregisterVirtualPort(port);
  std::printf("waiting for an absent device: %.2f%% of one core over 10 s\n", share);
  std::printf("RESULT idle_cycle_cpu %.2f %% <=2 %.2f\n", share, share / 2.0);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  TProgramUnits units;
  // The refresh asks before it reprograms the interface; the benchmark says Yes.
  SetDialogHandler(std::make_unique<TConsoleDialogs>(TAnswerMode::Yes, false));

  TSimOptions plain;
  plain.HeartbeatMs = 0;
  Report("calibrate", RunOnce(plain), 1.10);

  TSimOptions refresh = plain;
  refresh.InterfaceVersion = 1130120;  // older than the image the tool carries
  Report("refresh_then_calibrate", RunOnce(refresh), 0);

  IdleCpu();
  return 0;
}
