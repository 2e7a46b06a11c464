// A whole "Main" part sent by each boot loader method (0, 2, 3, 4, 5, and 6 finding
// a binary or a text boot loader) to the simulated inverter/charger behind the
// interface, with real wire pacing. The floor is the wire time of every frame and
// its acknowledgement at the method's rate plus the boot loader's 2 ms before each
// acknowledgement; the ratio shows what the updater adds per line.
//   bench_update_methods [code lines, default 200]

#include <QCoreApplication>
#include <QString>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/Startup.h"
#include "firmware/BootLink.h"
#include "firmware/KFFFiles.h"
#include "firmware/Updater.h"
#include "serial/SerialPort.h"
#include "serial/VirtualLine.h"
#include "sim/Simulator.h"
#include "support/Progress.h"
#include "support/Settings.h"
#include "support/Threads.h"

namespace {

using TNow = std::chrono::steady_clock;
constexpr int LineSize = 74;
constexpr double AckDelayMs = 2.0;  // the simulated boot loader's time before it answers

struct TCase {
  const char* Name;
  int Method;
  bool TextLoader;
  int Baud;
};

std::unique_ptr<TCodePart> InverterPart(int codeLines, bool withNonce) {
  auto part = std::make_unique<TCodePart>(QStringLiteral("Main"));
  part->Lines[0] = "C" + QByteArray(32, '\0');
  for (int i = 0; i < 4; ++i) {
    QByteArray line(LineSize, static_cast<char>(0x10 + i));
    line[70] = static_cast<char>(64 * i);
    line[71] = 0;
    part->Lines.append(line);
  }
  for (int i = 0; i < codeLines; ++i) part->Lines.append(QByteArray(LineSize, 'K'));
  part->Lines[6].replace(10, 11, "VER=2001250");
  part->SetInt(QStringLiteral("ML"), 0);
  part->SetInt(QStringLiteral("EL"), 4);
  part->SetInt(QStringLiteral("CL"), codeLines);
  part->SetValue(QStringLiteral("Version"), QStringLiteral("2001250"));
  if (withNonce) {
    part->SetValue(QStringLiteral("Nonce"), QStringLiteral("0011223344556677"));
    part->SetValue(QStringLiteral("KeyID"), QStringLiteral("1"));
  }
  return part;
}

// Characters on the wire for one frame and its acknowledgement.
int64_t FrameCharacters(const TUpdater& updater, const std::string& payload) {
  const bool binary = updater.BootLoader().IsBinary();
  const int64_t frame = binary ? static_cast<int64_t>(WrapBinaryFrame(payload).size())
                               : static_cast<int64_t>(payload.size());
  const std::string ack = WrapBinaryFrame("N");
  return frame + (binary ? static_cast<int64_t>(ack.size()) : 1);
}

double FloorMs(const TUpdater& updater, const TCodePart* main, int baud) {
  int64_t characters = 0;
  int frames = 0;
  const std::string auth = updater.Part().BuildAuthFrame(*main, true, true);
  if (!auth.empty()) {
    characters += FrameCharacters(updater, auth);
    ++frames;
  }
  for (int i = 0; i < main->SendLineCount(); ++i) {
    const std::string frame = updater.Part().BuildLine(0, i);
    if (frame.empty()) continue;
    characters += FrameCharacters(updater, frame);
    ++frames;
  }
  return static_cast<double>(characters * TVirtualLine::CharMicros(baud, false)) / 1000.0 +
         frames * AckDelayMs;
}

bool RunCase(const TCase& c, int codeLines, double& elapsedMs, double& floorMs) {
  TSimOptions options;
  options.DeviceVersion = 2001203;
  options.DeviceBootLoaderVersion = 113;
  options.DeviceBootLoaderFirmwareVersion = 114;
  options.DeviceBootLoaderText = c.TextLoader;
  options.DeviceBootLoaderBaud = 115200;
  options.HeartbeatMs = 0;
  options.Paced = true;
  TSimulation sim(options);
  TRS232o port;
  if (!port.Open(static_cast<uint32_t>(sim.RegisterAsPort()), 1200, 'N', 1024, 1024)) return false;
  TThreadPtr<TUpdater> updater = TUpdater::Create(&port);
  auto file = std::make_unique<TReprogramBuffer>();
  file->Add(InverterPart(codeLines, !c.TextLoader));
  const TCodePart* main = file->PartAt(0);
  updater->PrepareTarget(std::move(file), false);
  if (!updater->Connect(
          c.Method, false, [](int) {}, "Inverter"))
    return false;
  floorMs = FloorMs(*updater, main, c.Baud);
  const auto started = TNow::now();
  if (!updater->ProgramMain("Inverter", true, [](int, TUpdateState) {})) return false;
  updater->WaitWorkerPaused();
  elapsedMs = std::chrono::duration<double, std::milli>(TNow::now() - started).count();
  return updater->State() == TUpdateState::Finished;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int codeLines = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  TProgramUnits units;
  const TCase cases[] = {
      {"method 0 (115200)", 0, false, 115200},    {"method 2 (19200)", 2, false, 19200},
      {"method 3 (19200)", 3, false, 19200},      {"method 4 (19200)", 4, false, 19200},
      {"method 6 -> 3 (19200)", 6, false, 19200}, {"method 5 (115200)", 5, true, 115200},
      {"method 6 -> 5 (115200)", 6, true, 115200}};
  std::printf("whole part (4 data + %d code lines) per method, paced simulator\n", codeLines);
  double worst = 0;
  for (const TCase& c : cases) {
    double elapsed = 0, floor = 0;
    if (!RunCase(c, codeLines, elapsed, floor)) {
      std::printf("%-24s failed\n", c.Name);
      return 1;
    }
    const double ratio = elapsed / floor;
    worst = std::max(worst, ratio);
    std::printf("%-24s elapsed %8.1f ms, floor %8.1f ms, ratio %.3f\n", c.Name, elapsed, floor,
                ratio);
  }
  std::printf("worst ratio %.3f (goal at most 1.10)\n", worst);
  StopUnitUpdater();
  return 0;
}
