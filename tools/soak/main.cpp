// Fault soak: runs the whole calibration cycle against the simulator many times
// with seeded faults and interruptions, and checks the device's memory against
// the log's verdict after every run.
//
//   soak [--runs N] [--seed S] [--jobs J] [--batch B] [--timeout SECONDS] [--verbose]
//   soak --one SEED        runs one scenario in this process and prints its log
//   soak --describe SEED   prints the scenario a seed makes
//
// Runs are made in batches in child processes (several at once) with a watchdog per
// run, so that a crash or a hang is counted (and the batch carries on after it)
// instead of ending the soak.
// The parent never starts Qt or any thread: forking stays safe.

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/Startup.h"
#include "tools/soak/SoakScenario.h"

namespace {

struct TSoakOptions {
  int Runs = 1000;
  uint32_t Seed = 1;
  int Batch = 10;
  int Jobs = 16;
  int TimeoutSeconds = 60;
  bool Verbose = false;
  std::optional<uint32_t> One;
  std::optional<uint32_t> Describe;
};

struct TTotals {
  int Runs = 0;
  int Faults = 0;
  int Crashes = 0;
  int Hangs = 0;
  int FalseOk = 0;
  int WrongValues = 0;
  int OkRuns = 0;
  int Unfinished = 0;
  int EepromLeftOpen = 0;
  std::vector<std::string> Findings;
};

bool ParseNumber(const char* text, long long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtoll(text, &end, 10);
  return errno == 0 && end != text && *end == '\0';
}

bool ParseOptions(int argc, char** argv, TSoakOptions& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--verbose") {
      o.Verbose = true;
      continue;
    }
    long long value = 0;
    if (i + 1 >= argc || !ParseNumber(argv[i + 1], value) || value < 0) return false;
    ++i;
    if (arg == "--runs" && value > 0)
      o.Runs = static_cast<int>(value);
    else if (arg == "--seed" && value <= UINT32_MAX)
      o.Seed = static_cast<uint32_t>(value);
    else if (arg == "--batch" && value > 0)
      o.Batch = static_cast<int>(value);
    else if (arg == "--jobs" && value > 0 && value <= 64)
      o.Jobs = static_cast<int>(value);
    else if (arg == "--timeout" && value > 0)
      o.TimeoutSeconds = static_cast<int>(value);
    else if (arg == "--one" && value <= UINT32_MAX)
      o.One = static_cast<uint32_t>(value);
    else if (arg == "--describe" && value <= UINT32_MAX)
      o.Describe = static_cast<uint32_t>(value);
    else
      return false;
  }
  return true;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// ---- child: runs seeds first..last and reports each on the pipe ---------------

std::string ResultLine(uint32_t seed, const TSoakResult& r) {
  std::ostringstream out;
  out << "R " << seed << ' ' << r.OkLogged << ' ' << r.FalseOk << ' ' << r.WrongValue << ' '
      << r.EepromLeftOpen << ' ' << r.Finished << ' ' << r.Detail << '\n';
  return out.str();
}

[[noreturn]] void RunBatchInChild(int fd, uint32_t first, uint32_t last, const char* program) {
  int argc = 1;
  char* argv[] = {const_cast<char*>(program), nullptr};
  QCoreApplication app(argc, argv);
  {
    TProgramUnits units;
    for (uint32_t seed = first; seed <= last; ++seed) {
      if (!WriteAll(fd, "S " + std::to_string(seed) + "\n")) break;
      const TSoakResult result = RunSoakScenario(MakeSoakScenario(seed));
      if (!WriteAll(fd, ResultLine(seed, result))) break;
    }
  }
  close(fd);
  std::fflush(nullptr);
  _exit(0);
}

// ---- parent: one batch under the watchdog -------------------------------------

uint32_t Record(TTotals& totals, const std::string& line, bool verbose) {
  std::istringstream in(line.substr(2));
  uint32_t seed = 0;
  int ok = 0, falseOk = 0, wrong = 0, open = 0, finished = 0;
  in >> seed >> ok >> falseOk >> wrong >> open >> finished;
  std::string detail;
  std::getline(in, detail);
  ++totals.Runs;
  totals.Faults += MakeSoakScenario(seed).FaultKinds;
  totals.OkRuns += ok;
  totals.FalseOk += falseOk;
  totals.WrongValues += wrong;
  totals.EepromLeftOpen += open;
  totals.Unfinished += finished ? 0 : 1;
  if (falseOk || wrong) {
    totals.Findings.push_back(DescribeSoakScenario(MakeSoakScenario(seed)) + "\n    ->" + detail);
  }
  if (verbose) std::printf("%s\n", line.c_str());
  return seed;
}

void RecordBroken(TTotals& totals, uint32_t seed, const std::string& what) {
  ++totals.Runs;
  totals.Faults += MakeSoakScenario(seed).FaultKinds;
  totals.Findings.push_back(DescribeSoakScenario(MakeSoakScenario(seed)) + "\n    -> " + what);
}

std::string ExitText(int status) {
  if (WIFSIGNALED(status)) return "crash (signal " + std::to_string(WTERMSIG(status)) + ")";
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  return "stopped";
}

using TClock = std::chrono::steady_clock;

// One child running a batch of seeds.
struct TWorker {
  pid_t Child = -1;
  int Fd = -1;
  uint64_t Next = 0;  // the first seed of the batch that has no result yet
  uint64_t Last = 0;
  std::optional<uint32_t> Running;
  std::string Pending;
  TClock::time_point Deadline;
  bool Hung = false;
};

TWorker StartWorker(uint64_t first, uint64_t last, const TSoakOptions& o, const char* program) {
  int fds[2];
  if (pipe(fds) != 0) {
    std::perror("pipe");
    std::exit(2);
  }
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    std::perror("fork");
    std::exit(2);
  }
  if (child == 0) {
    close(fds[0]);
    RunBatchInChild(fds[1], static_cast<uint32_t>(first), static_cast<uint32_t>(last), program);
  }
  close(fds[1]);
  TWorker w;
  w.Child = child;
  w.Fd = fds[0];
  w.Next = first;
  w.Last = last;
  w.Deadline = TClock::now() + std::chrono::seconds(o.TimeoutSeconds);
  return w;
}

// Takes what the child sent; returns false when the pipe has closed.
bool ReadWorker(TWorker& w, const TSoakOptions& o, TTotals& totals) {
  char buffer[4096];
  const ssize_t n = read(w.Fd, buffer, sizeof buffer);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) return false;
  w.Pending.append(buffer, static_cast<size_t>(n));
  for (size_t end; (end = w.Pending.find('\n')) != std::string::npos;) {
    const std::string line = w.Pending.substr(0, end);
    w.Pending.erase(0, end + 1);
    if (line.rfind("S ", 0) == 0) {
      w.Running = static_cast<uint32_t>(std::stoul(line.substr(2)));
      w.Deadline = TClock::now() + std::chrono::seconds(o.TimeoutSeconds);
    } else if (line.rfind("R ", 0) == 0) {
      w.Next = static_cast<uint64_t>(Record(totals, line, o.Verbose)) + 1;
      w.Running.reset();
    }
  }
  return true;
}

// Ends a worker whose pipe closed or whose watchdog fired; counts a crash or hang.
// Returns the first seed of its batch still to run (past the broken one).
uint64_t FinishWorker(TWorker& w, const TSoakOptions& o, TTotals& totals) {
  close(w.Fd);
  if (w.Hung) kill(w.Child, SIGKILL);
  int status = 0;
  while (waitpid(w.Child, &status, 0) < 0 && errno == EINTR) {
  }
  if (w.Hung) {
    ++totals.Hangs;
    const uint64_t seed = w.Running ? *w.Running : w.Next;
    RecordBroken(totals, static_cast<uint32_t>(seed),
                 "hang (no result within " + std::to_string(o.TimeoutSeconds) + " s)");
    return seed + 1;
  }
  if (w.Running) {
    ++totals.Crashes;
    RecordBroken(totals, *w.Running, ExitText(status));
    return static_cast<uint64_t>(*w.Running) + 1;
  }
  if (w.Next <= w.Last) {
    // The child ended between two runs without a result: count it against the next.
    ++totals.Crashes;
    RecordBroken(totals, static_cast<uint32_t>(w.Next),
                 ExitText(status) + " before the run started");
    return w.Next + 1;
  }
  return w.Next;
}

// Runs the seeds [first, end) in batches, up to o.Jobs children at a time. The runs
// mostly wait on line timeouts, so several children share the cores well.
void RunAll(uint64_t first, uint64_t end, const TSoakOptions& o, TTotals& totals,
            const char* program) {
  std::vector<std::pair<uint64_t, uint64_t>> queue;  // batches still to start
  for (uint64_t seed = first; seed < end; seed += static_cast<uint64_t>(o.Batch))
    queue.emplace_back(seed, std::min<uint64_t>(seed + static_cast<uint64_t>(o.Batch), end) - 1);
  std::reverse(queue.begin(), queue.end());
  std::vector<TWorker> workers;
  while (!queue.empty() || !workers.empty()) {
    while (!queue.empty() && static_cast<int>(workers.size()) < o.Jobs) {
      workers.push_back(StartWorker(queue.back().first, queue.back().second, o, program));
      queue.pop_back();
    }
    std::vector<pollfd> fds;
    auto wait = std::chrono::milliseconds(1000);
    for (const auto& w : workers) {
      fds.push_back({w.Fd, POLLIN, 0});
      wait = std::min(
          wait, std::chrono::duration_cast<std::chrono::milliseconds>(w.Deadline - TClock::now()));
    }
    if (poll(fds.data(), fds.size(), static_cast<int>(std::max<int64_t>(0, wait.count()))) < 0 &&
        errno != EINTR) {
      std::perror("poll");
      std::exit(2);
    }
    for (size_t i = workers.size(); i-- > 0;) {
      TWorker& w = workers[i];
      bool open = true;
      if (fds[i].revents != 0) open = ReadWorker(w, o, totals);
      if (open && TClock::now() >= w.Deadline) {
        w.Hung = true;
        open = false;
      }
      if (open) continue;
      const uint64_t rest = FinishWorker(w, o, totals);
      if (rest <= w.Last) queue.emplace_back(rest, w.Last);
      workers.erase(workers.begin() + static_cast<std::ptrdiff_t>(i));
      if (!o.Verbose) {
        std::fprintf(stderr, "\r%d runs", totals.Runs);
        std::fflush(stderr);
      }
    }
  }
}

int RunOne(uint32_t seed, const char* program) {
  int argc = 1;
  char* argv[] = {const_cast<char*>(program), nullptr};
  QCoreApplication app(argc, argv);
  TProgramUnits units;
  const TSoakScenario scenario = MakeSoakScenario(seed);
  std::printf("%s\n", DescribeSoakScenario(scenario).c_str());
  std::string log;
  const TSoakResult r = RunSoakScenario(scenario, &log);
  std::printf("---- log ----\n%s---- verdict ----\n", log.c_str());
  std::printf(
      "ticks %d, OK logged %d, false OK %d, wrong value %d, EEPROM left open %d, "
      "finished %d\n%s\n",
      r.Ticks, r.OkLogged, r.FalseOk, r.WrongValue, r.EepromLeftOpen, r.Finished, r.Detail.c_str());
  return r.FalseOk || r.WrongValue ? 1 : 0;
}

void PrintTotals(const TTotals& t, double seconds) {
  for (const auto& finding : t.Findings) std::printf("FINDING %s\n", finding.c_str());
  std::printf("runs               %d\n", t.Runs);
  std::printf("faults injected    %d\n", t.Faults);
  std::printf("crashes            %d\n", t.Crashes);
  std::printf("hangs              %d\n", t.Hangs);
  std::printf("false \"OK!\"        %d\n", t.FalseOk);
  std::printf("wrong values stored %d\n", t.WrongValues);
  std::printf("(runs with \"OK!\" %d, runs without an end %d, EEPROM left open %d, %.1f s)\n",
              t.OkRuns, t.Unfinished, t.EepromLeftOpen, seconds);
}

}  // namespace

int main(int argc, char** argv) {
  TSoakOptions o;
  if (!ParseOptions(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: soak [--runs N] [--seed S] [--jobs J] [--batch B] [--timeout SECONDS] "
                 "[--verbose] | --one SEED | --describe SEED\n");
    return 2;
  }
  if (o.Describe) {
    std::printf("%s\n", DescribeSoakScenario(MakeSoakScenario(*o.Describe)).c_str());
    return 0;
  }
  if (o.One) return RunOne(*o.One, argv[0]);

  signal(SIGPIPE, SIG_IGN);
  const auto start = std::chrono::steady_clock::now();
  TTotals totals;
  // Seeds stay 32-bit: a run that would pass the last one is cut there.
  const uint64_t end = std::min<uint64_t>(static_cast<uint64_t>(o.Seed) + o.Runs,
                                          static_cast<uint64_t>(UINT32_MAX) + 1);
  RunAll(o.Seed, end, o, totals, argv[0]);
  if (!o.Verbose) std::fprintf(stderr, "\n");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  PrintTotals(totals, seconds);
  const bool clean =
      totals.Crashes == 0 && totals.Hangs == 0 && totals.FalseOk == 0 && totals.WrongValues == 0;
  return clean ? 0 : 1;
}
