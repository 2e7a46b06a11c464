// Round trip of one device request (the version request 0x05) through the BX2
// driver against the simulated interface with real wire pacing at 2400 baud, next
// to the time the request and reply frames need on the wire. Prints the ratio and
// splits the round trip into hand-over (until the request has left) and reply
// (until the caller has the reply), with and without the device's heartbeat frames
// on the bus.
//   bench_bx2_roundtrip [requests per run, default 20]

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "link/BX2Driver.h"
#include "link/BX2Frames.h"
#include "serial/PortMap.h"
#include "serial/SerialPort.h"
#include "sim/Simulator.h"
#include "support/Threads.h"

namespace {

using TNow = std::chrono::steady_clock;

double MsSince(TNow::time_point t) {
  return std::chrono::duration<double, std::milli>(TNow::now() - t).count();
}

struct TFigures {
  std::vector<double> HandOver;   // TransmitFrame until the frame has left
  std::vector<double> Reply;      // frame left until the reply is in the caller's hands
  std::vector<double> RoundTrip;  // the whole Query
  int Failures = 0;
};

double Mean(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x;
  return v.empty() ? 0 : sum / static_cast<double>(v.size());
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

TFigures Run(int requests, int heartbeatMs) {
  TSimOptions options;
  options.Paced = true;
  options.HeartbeatMs = heartbeatMs;
  TSimulation sim(options);
  TFigures f;
  const int number = sim.RegisterAsPort();
  auto port = std::make_unique<TRS232o>();
  if (number == 0 || !port->Open(static_cast<uint32_t>(number), 2400, 'N', 1024, 1024)) {
    std::fprintf(stderr, "cannot open the simulated port\n");
    f.Failures = requests;
    return f;
  }
  TThreadPtr<TBX2Driver> driver(TBX2Driver::Create(std::move(port), true, lsKMBus));
  for (int i = 0; i < requests; ++i) {
    driver->NextSequence();
    driver->FlushReplies();
    std::string text(1, '\x05');
    const auto start = TNow::now();
    const bool handed = driver->TransmitFrame(text, 255, false) && driver->WaitSent();
    const double handOver = MsSince(start);
    const int n = handed ? driver->NextReply(text, -1) : 0;
    const double total = MsSince(start);
    if (n < 5) {
      ++f.Failures;
      continue;
    }
    f.HandOver.push_back(handOver);
    f.Reply.push_back(total - handOver);
    f.RoundTrip.push_back(total);
  }
  return f;
}

// The same exchange on the bare port, no driver: the floor the transport sets.
std::vector<double> RawRun(int requests) {
  TSimOptions options;
  options.Paced = true;
  options.HeartbeatMs = 0;
  TSimulation sim(options);
  std::vector<double> times;
  TRS232o port;
  const int number = sim.RegisterAsPort();
  if (number == 0 || !port.Open(static_cast<uint32_t>(number), 2400, 'N', 1024, 1024)) return times;
  const char letters[] = {'X', 'Y', 'Z'};
  for (int i = 0; i < requests; ++i) {
    const std::string frame = BuildInterfaceFrame(std::string{letters[i % 3], '\x05'});
    uint8_t reply[9] = {};
    const auto start = TNow::now();
    port.Write(frame.data(), static_cast<uint32_t>(frame.size()));
    const int n = port.Read(reply, sizeof reply, 1000);
    if (n == static_cast<int>(sizeof reply)) times.push_back(MsSince(start));
  }
  return times;
}

void Report(const char* title, const TFigures& f, double wireMs) {
  const double mean = Mean(f.RoundTrip);
  std::printf("%s\n", title);
  std::printf("  requests answered      %zu (failed %d)\n", f.RoundTrip.size(), f.Failures);
  std::printf("  round trip             mean %.1f ms, median %.1f ms, 90%% %.1f ms\n", mean,
              Percentile(f.RoundTrip, 0.5), Percentile(f.RoundTrip, 0.9));
  std::printf("  hand-over until sent   mean %.1f ms (request frame on the wire %.1f ms)\n",
              Mean(f.HandOver), 5 * 10000.0 / 2400);
  std::printf("  sent until reply taken mean %.1f ms (reply frame on the wire %.1f ms)\n",
              Mean(f.Reply), 9 * 10000.0 / 2400);
  std::printf("  ratio round trip / wire time  %.2f\n", wireMs > 0 ? mean / wireMs : 0);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  StartUnitThreads();
  StartUnitPortMap();
  const int requests = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  // Request 03 FF 58 05 A1 (5 bytes), reply 07 FF 58 82 v0 v1 v2 v3 cs (9 bytes),
  // 10 bits per character at 2400 baud.
  const double wireMs = 14 * 10000.0 / 2400;
  std::printf("BX2 request round trip, %d requests per run, wire time %.1f ms\n", requests, wireMs);
  const auto raw = RawRun(requests);
  std::printf("bare port, no driver: %zu answered, mean %.1f ms, ratio %.2f\n", raw.size(),
              Mean(raw), Mean(raw) / wireMs);
  Report("quiet bus (no heartbeat):", Run(requests, 0), wireMs);
  Report("device heartbeat every 1000 ms:", Run(requests, 1000), wireMs);
  std::printf(
      "The rest: the driver writes a handed-over frame only in a round that read nothing\n"
      "(up to one 10 ms read time-out after the hand-over), and only once the line has\n"
      "been quiet (20 rounds after a byte of an unfinished or refused frame); the reply\n"
      "adds the interface's and the device's turnaround and one thread wake-up.\n");
  StopUnitThreads();
  return 0;
}
