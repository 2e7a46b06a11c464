// Programming of the embedded BX2 interface image through the interface's boot
// loader (text method, 19200 baud) against the simulated interface with real wire
// pacing, next to the time the line frames and their one-byte acknowledgements need
// on the wire. The ratio shows what the updater adds per line (purging, the hand-
// over to its worker, waiting for the acknowledgement) beyond the wire itself.
//   bench_updater_program [runs, default 3]

#include <QCoreApplication>

#include <QString>
#include "app/Startup.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/Startup.h"
#include "firmware/EmbeddedImage.h"
#include "firmware/KFFFiles.h"
#include "firmware/Updater.h"
#include "serial/PortMap.h"
#include "serial/SerialPort.h"
#include "serial/VirtualLine.h"
#include "sim/Simulator.h"
#include "support/Dialogs.h"
#include "support/HardcodedStrings.h"
#include "support/Progress.h"
#include "support/Settings.h"
#include "support/Textlogger.h"
#include "support/Threads.h"

namespace {

using TNow = std::chrono::steady_clock;

struct TRun {
  bool Ok = false;
  int Lines = 0;
  double ElapsedMs = 0;
  double WireMs = 0;
};

// Wire time of what the worker sends for the "Main" part: every line frame plus
// its one-byte acknowledgement, each character at 19200 baud without parity.
double WireMs(const TUpdater& updater, const TCodePart& main) {
  int64_t characters = 0;
  for (int i = 0; i < main.SendLineCount(); ++i) {
    const std::string frame = updater.Part().BuildLine(0, i);
    if (!frame.empty()) characters += static_cast<int64_t>(frame.size()) + 1;
  }
  return static_cast<double>(characters * TVirtualLine::CharMicros(19200, false)) / 1000.0;
}

TRun ProgramOnce() {
  TSimOptions options;
  options.Interface = TSimInterface::Bx2BootLoader;
  options.HeartbeatMs = 0;
  options.Paced = true;
  TSimulation sim(options);
  TRun run;
  TRS232o port;
  if (!port.Open(static_cast<uint32_t>(sim.RegisterAsPort()), 2400, 'N', 1024, 1024)) return run;
  TThreadPtr<TUpdater> updater = TUpdater::Create(&port);
  QString loadError;
  auto file = std::make_unique<TReprogramBuffer>();
  file->LoadFromStream(*OpenEmbeddedInterfaceImage(), false, loadError);
  const TReprogramBuffer& image = *file;
  updater->PrepareTarget(std::move(file), false);
  if (!loadError.isEmpty() || !updater->Connect(
                                  1, true, [](int) {}, "BX2"))
    return run;
  const auto started = TNow::now();
  run.Ok = updater->ProgramMain("BX2", false).Ok();
  run.ElapsedMs = std::chrono::duration<double, std::milli>(TNow::now() - started).count();
  // After the boot block check, which sets the data-line flags the sending uses.
  run.WireMs = WireMs(*updater, *image.PartAt(image.IndexOfPart("Main")));
  run.Lines = sim.Stats().LinesProgrammed;
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  TProgramUnits units;
  std::printf("updater programming, embedded interface image, method 1 at 19200 baud, paced\n");
  double worst = 0;
  for (int i = 0; i < runs; ++i) {
    const TRun run = ProgramOnce();
    if (!run.Ok) {
      std::printf("run %d: programming failed\n", i + 1);
      return 1;
    }
    const double ratio = run.ElapsedMs / run.WireMs;
    worst = std::max(worst, ratio);
    std::printf("run %d: %d lines, elapsed %.1f ms, wire %.1f ms, ratio %.3f\n", i + 1, run.Lines,
                run.ElapsedMs, run.WireMs, ratio);
  }
  std::printf("worst ratio %.3f (goal at most 1.15)\n", worst);
  StopUnitUpdater();
  StopUnitPortMap();
  StopUnitProgress();
  StopUnitSettings();
  StopUnitTextlogger();
  StopUnitThreads();
  StopUnitStrings();
  return 0;
}
