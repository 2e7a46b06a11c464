// CPU cost of an idle bus driver: a thread doing back-to-back single-byte reads with
// 10 ms time-outs while nothing arrives, as a driver does between frames. Prints the
// share of one core the thread used, on a pseudo-terminal and on the in-memory line.
// Goal: well under 1 %.
//   bench_serial_idle [seconds per run, default 2]

#include <pty.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "serial/PortMap.h"
#include "serial/SerialPort.h"
#include "serial/VirtualLine.h"

namespace {

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct TIdleFigures {
  int Rounds = 0;
  int BytesSeen = 0;
  double WallSeconds = 0;
  double CpuSeconds = 0;
};

TIdleFigures IdleReads(TRS232o& port, double seconds) {
  TIdleFigures f;
  port.SetReadTimeouts(10);
  uint8_t byte = 0;
  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = ThreadCpuSeconds();
  const auto end = start + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    port.StartRead(&byte, 1);
    const int r = port.WaitRead();
    if (r < 0) break;
    f.BytesSeen += r;
    ++f.Rounds;
  }
  f.CpuSeconds = ThreadCpuSeconds() - cpuStart;
  f.WallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return f;
}

void Report(const char* name, const TIdleFigures& f) {
  const double share = f.WallSeconds > 0 ? 100.0 * f.CpuSeconds / f.WallSeconds : 0;
  const double roundMs = f.Rounds ? 1000.0 * f.WallSeconds / f.Rounds : 0;
  std::printf(
      "%-16s rounds %6d  round %6.2f ms  cpu %8.4f s  wall %6.3f s  share of a core %6.3f %%%s\n",
      name, f.Rounds, roundMs, f.CpuSeconds, f.WallSeconds, share,
      share < 1.0 ? "" : "  (above the 1 % goal)");
  std::string key = name;
  for (auto& c : key)
    if (c == ' ' || c == '-') c = '_';
  std::printf("RESULT idle_read_cpu_%s %.3f %% <=1 %.2f\n", key.c_str(), share, share / 1.0);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  constexpr int kPtyPort = 250;
  constexpr int kVirtualPort = 251;

  int master = -1;
  int slave = -1;
  char name[128] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) == 0) {
    close(slave);
    AssignPortPath(kPtyPort, name);
    TRS232o port;
    if (port.Open(kPtyPort, 2400, 'N', 1024, 1024)) {
      Report("pseudo-terminal", IdleReads(port, seconds));
    } else {
      std::printf("pseudo-terminal: %s\n", OpenFailureText(port.LastOpenError()).c_str());
    }
    close(master);
  } else {
    std::printf("pseudo-terminal: openpty failed\n");
  }

  auto line = std::make_shared<TVirtualLine>(true);
  RegisterVirtualPort(kVirtualPort, line);
  TRS232o port;
  if (port.Open(kVirtualPort, 2400, 'N', 1024, 1024))
    Report("virtual line", IdleReads(port, seconds));
  UnregisterVirtualPort(kVirtualPort);
  return 0;
}
