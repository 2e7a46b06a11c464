#include "serial/Loopback.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

constexpr int kBX1Baud = 1200;
constexpr int kFirstByteWait = 300;  // ms for the first byte of an echo
const char* const kBytesCheck = "bytes unchanged (0xFF incl.)";
const char* const kMarkCheck = "mark parity echo";
const char* const kSpaceCheck = "space parity echo";
const char* const kNinthCheck = "ninth bit seen (mark->space)";
const char* const kBreakCheck = "break seen as a break";

const char* const kCountersCheck = "driver's error counters agree";

TLoopbackRow Row(int baud, const char* check, bool passed, std::string note = {}) {
  return {baud, check, passed ? TCheckResult::crPassed : TCheckResult::crFailed,
          passed ? std::string() : std::move(note)};
}

TLoopbackRow NotMade(int baud, const char* check, std::string note) {
  return {baud, check, TCheckResult::crNotMade, std::move(note)};
}

std::string CountsText(const TErrorCounters& counts) {
  return "parity " + std::to_string(counts.Parity) + ", framing " + std::to_string(counts.Frame) +
         ", break " + std::to_string(counts.Break);
}

// One run of the checks on one port. Tallies the line errors its reads report, so
// that the driver's own counters can be held against them at the end.
class TLoopbackRun {
 public:
  explicit TLoopbackRun(TRS232o& port) : Port(port) {
    HasCounters = Port.ReadErrorCounters(CountersAtStart);
  }

  // Sends bytes and reads them back; the line errors of what came back in *errors.
  std::vector<uint8_t> Echo(const std::vector<uint8_t>& bytes, uint32_t* errors) {
    Port.PurgeAll();
    Port.ClearErrors();
    Port.Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
    std::vector<uint8_t> back(bytes.size());
    const int got = Port.Read(back.data(), static_cast<uint32_t>(back.size()), kFirstByteWait);
    back.resize(static_cast<size_t>(std::max(got, 0)));
    *errors = TakeErrors();
    return back;
  }

  TLoopbackRow CheckBytes(int baud) {
    if (!Port.Configure(baud, 'N')) return Row(baud, kBytesCheck, false, Port.LastConfigureError());
    const std::vector<uint8_t> pattern = {0x00, 0x55, 0xAA, 0xFF, 0xFF, 0x01, 0x80, 0x7F, 0xFE};
    uint32_t errors = 0;
    const auto back = Echo(pattern, &errors);
    if (back != pattern) return Row(baud, kBytesCheck, false, "came back changed or incomplete");
    return Row(baud, kBytesCheck, errors == 0, "line errors on the echo");
  }

  // Sends `sent` with parity `out` and listens with parity `in`; passes when the byte
  // comes back with exactly `wanted` line errors.
  TLoopbackRow CheckParity(const char* check, char out, char in, uint8_t sent, uint32_t wanted) {
    if (!Port.Configure(kBX1Baud, out))
      return Row(kBX1Baud, check, false, Port.LastConfigureError());
    Port.PurgeAll();
    Port.ClearErrors();
    Port.Write(&sent, 1);
    if (in != out && !Port.Configure(kBX1Baud, in))
      return Row(kBX1Baud, check, false, Port.LastConfigureError());
    uint8_t back = 0;
    const int got = Port.Read(&back, 1, kFirstByteWait);
    const uint32_t errors = TakeErrors();
    if (got != 1 || back != sent) return Row(kBX1Baud, check, false, "no echo, or a changed one");
    return Row(kBX1Baud, check, errors == wanted, "the ninth-bit mark is wrong");
  }

  TLoopbackRow CheckBreak(int baud) {
    Port.Configure(baud, 'N');
    Port.PurgeAll();
    Port.ClearErrors();
    Port.SetBreak(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::max(20, 3 * Port.MsPerByte())));
    Port.SetBreak(false);
    uint8_t back = 0xFF;
    const int got = Port.Read(&back, 1, kFirstByteWait);
    const uint32_t errors = TakeErrors();
    return Row(baud, kBreakCheck, got == 1 && back == 0 && (errors & leBreak) != 0,
               "no break came back");
  }

  // The counters' increase over the run must match the errors the reads reported: the
  // BX1's reading of the ninth bit leans on them where parity marking is ambiguous.
  TLoopbackRow CheckCounters() {
    TErrorCounters now;
    if (!HasCounters || !Port.ReadErrorCounters(now))
      return NotMade(0, kCountersCheck, "this driver keeps no error counters");
    const TErrorCounters counted = now - CountersAtStart;
    return Row(0, kCountersCheck, counted == Seen,
               "the driver counted " + CountsText(counted) + "; the reads saw " + CountsText(Seen));
  }

 private:
  uint32_t TakeErrors() {
    Port.ClearErrors();
    const uint32_t errors = Port.LastErrors();
    Seen.Parity += (errors & leParity) ? 1 : 0;
    Seen.Frame += (errors & leFraming) ? 1 : 0;
    Seen.Break += (errors & leBreak) ? 1 : 0;
    return errors;
  }

  TRS232o& Port;
  bool HasCounters = false;
  TErrorCounters CountersAtStart;
  TErrorCounters Seen;
};

bool Passed(const TLoopbackReport& report, int baud, const std::string& check) {
  return std::any_of(report.Rows.begin(), report.Rows.end(), [&](const TLoopbackRow& row) {
    return row.Baud == baud && row.Check == check && row.Result == TCheckResult::crPassed;
  });
}

bool NoneFailed(const TLoopbackReport& report, int baud, const std::string& check) {
  return std::none_of(report.Rows.begin(), report.Rows.end(), [&](const TLoopbackRow& row) {
    return row.Baud == baud && row.Check == check && row.Result == TCheckResult::crFailed;
  });
}

const char* ResultWords(TCheckResult result) {
  switch (result) {
    case TCheckResult::crPassed:
      return "passed";
    case TCheckResult::crFailed:
      return "FAILED";
    case TCheckResult::crNotMade:
      return "not made";
  }
  return "";
}

}  // namespace

const std::vector<int>& LoopbackRates() {
  static const std::vector<int> rates = {1200, 2400, 4800, 7680, 9600, 19200, 38400, 57600, 115200};
  return rates;
}

TLoopbackReport RunLoopbackTest(TRS232o& port) {
  TLoopbackReport report;
  uint32_t errors = 0;
  port.Configure(2400, 'N');
  TLoopbackRun run(port);
  report.PlugFound = !run.Echo({0x55}, &errors).empty();
  if (!report.PlugFound) return report;
  for (int baud : LoopbackRates()) report.Rows.push_back(run.CheckBytes(baud));
  // A line that keeps no parity at all (a pseudo-terminal) cannot show the BX1's checks.
  const bool parityKept = port.Configure(kBX1Baud, 'E');
  const char* const kNoParity = "this line carries no parity (a pseudo-terminal?)";
  for (const char* check : {kMarkCheck, kSpaceCheck, kNinthCheck}) {
    if (!parityKept) {
      report.Rows.push_back(NotMade(kBX1Baud, check, kNoParity));
    } else if (check == kMarkCheck) {
      report.Rows.push_back(run.CheckParity(check, 'M', 'M', 0x81, 0));
    } else if (check == kSpaceCheck) {
      report.Rows.push_back(run.CheckParity(check, 'S', 'S', 0x34, 0));
    } else {
      report.Rows.push_back(run.CheckParity(check, 'M', 'S', 0x81, leParity));
    }
  }
  if (parityKept)
    report.Rows.push_back(run.CheckBreak(2400));
  else
    report.Rows.push_back(NotMade(2400, kBreakCheck, "a pseudo-terminal carries no break"));
  report.Rows.push_back(run.CheckCounters());
  port.Configure(kBX1Baud, 'N');
  return report;
}

bool ServesBX2(const TLoopbackReport& report) {
  if (!report.PlugFound) return false;
  for (int baud : LoopbackRates())
    if (baud != kBX1Baud && !Passed(report, baud, kBytesCheck)) return false;
  return NoneFailed(report, 2400, kBreakCheck);
}

bool ServesBX1(const TLoopbackReport& report) {
  if (!report.PlugFound) return false;
  for (const char* check : {kBytesCheck, kMarkCheck, kSpaceCheck, kNinthCheck})
    if (!Passed(report, kBX1Baud, check)) return false;
  return NoneFailed(report, 0, kCountersCheck);
}

std::string LoopbackVerdict(const TLoopbackReport& report) {
  if (!report.PlugFound)
    return "No loopback plug: nothing came back. Connect pins 2 and 3 of the adapter's DB9 "
           "and run the test again.";
  const bool bx2 = ServesBX2(report);
  const bool bx1 = ServesBX1(report);
  const bool bx1Unknown =
      std::any_of(report.Rows.begin(), report.Rows.end(), [](const TLoopbackRow& row) {
        return row.Baud == kBX1Baud && row.Result == TCheckResult::crNotMade;
      });
  if (bx2 && bx1) return "This adapter can serve both a BX2 and a BX1.";
  if (bx2 && bx1Unknown)
    return "This adapter can serve a BX2; the BX1 checks could not be made on this line.";
  if (bx2) return "This adapter can serve a BX2, not a BX1.";
  if (bx1) return "This adapter can serve a BX1, not a BX2.";
  return "This adapter can serve neither a BX2 nor a BX1.";
}

std::string LoopbackAdvice(const TLoopbackRow& row) {
  if (row.Result != TCheckResult::crFailed) return {};
  const std::string check = row.Check;
  if (check == kBytesCheck && row.Baud == kBX1Baud)
    return "The adapter garbles bytes at 1200 baud: the BX1 cannot be used with it. Check the "
           "plug's wiring, then try another adapter.";
  if (check == kBytesCheck)
    return "The adapter garbles bytes at " + std::to_string(row.Baud) +
           " baud: the BX2 or a device's boot loader may fail with it. Check that the plug sits "
           "firmly, update the adapter's driver, or use another adapter.";
  if (check == kMarkCheck || check == kSpaceCheck || check == kNinthCheck)
    return "The adapter's driver does not handle mark and space parity as the BX1 needs: use "
           "this adapter for the BX2 only, or an adapter with a full serial driver for the BX1.";
  if (check == kBreakCheck)
    return "A break does not come back as a break: the BX2's wake-up may fail. Use another "
           "adapter for the BX2.";
  if (check == kCountersCheck)
    return "The driver's error counters disagree with what was read: the BX1's reading of "
           "marked bytes leans on them. Update the driver or use another adapter for the BX1.";
  return "Run the test again; if the row fails again, use another adapter.";
}

int LoopbackExitCode(const TLoopbackReport& report) {
  if (ServesBX2(report)) return ServesBX1(report) ? 0 : 1;
  return 3;
}

std::string LoopbackTable(const TLoopbackReport& report) {
  std::string table;
  char line[200];
  std::snprintf(line, sizeof line, "%-8s %-30s %s\n", "rate", "check", "result");
  table += line;
  for (const auto& row : report.Rows) {
    const std::string rate = row.Baud > 0 ? std::to_string(row.Baud) : "all";
    std::snprintf(line, sizeof line, "%-8s %-30s %s", rate.c_str(), row.Check.c_str(),
                  ResultWords(row.Result));
    table += line;
    if (!row.Note.empty()) table += " (" + row.Note + ")";
    table += "\n";
  }
  return table;
}
