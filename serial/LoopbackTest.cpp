#include "serial/LoopbackTest.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

constexpr int kBX1Baud = 1200;
constexpr int kFirstByteWait = 300;  // ms for the first byte of an echo
const char* const kBytesCheck = "bytes unchanged (0xFF incl.)";
const char* const kMarkCheck = "mark parity echo";
const char* const kSpaceCheck = "space parity echo";
const char* const kNinthCheck = "ninth bit seen (mark->space)";
const char* const kBreakCheck = "break seen as a break";

// Sends bytes and reads them back; the line errors of what came back in *errors.
std::vector<uint8_t> Echo(TRS232o& port, const std::vector<uint8_t>& bytes, uint32_t* errors) {
  port.PurgeAll();
  port.ClearErrors();
  port.Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
  std::vector<uint8_t> back(bytes.size());
  const int got = port.Read(back.data(), static_cast<uint32_t>(back.size()), kFirstByteWait);
  back.resize(static_cast<size_t>(std::max(got, 0)));
  port.ClearErrors();
  *errors = port.LastErrors();
  return back;
}

TLoopbackRow Row(int baud, const char* check, bool passed, std::string note = {}) {
  return {baud, check, passed ? TCheckResult::crPassed : TCheckResult::crFailed,
          passed ? std::string() : std::move(note)};
}

TLoopbackRow NotMade(int baud, const char* check, std::string note) {
  return {baud, check, TCheckResult::crNotMade, std::move(note)};
}

TLoopbackRow CheckBytes(TRS232o& port, int baud) {
  if (!port.Configure(baud, 'N')) return Row(baud, kBytesCheck, false, port.LastConfigureError());
  const std::vector<uint8_t> pattern = {0x00, 0x55, 0xAA, 0xFF, 0xFF, 0x01, 0x80, 0x7F, 0xFE};
  uint32_t errors = 0;
  const auto back = Echo(port, pattern, &errors);
  if (back != pattern) return Row(baud, kBytesCheck, false, "came back changed or incomplete");
  return Row(baud, kBytesCheck, errors == 0, "line errors on the echo");
}

// Sends `sent` with parity `out` and listens with parity `in`; passes when the byte
// comes back with exactly `wanted` line errors.
TLoopbackRow CheckParity(TRS232o& port, const char* check, char out, char in, uint8_t sent,
                         uint32_t wanted) {
  if (!port.Configure(kBX1Baud, out)) return Row(kBX1Baud, check, false, port.LastConfigureError());
  port.PurgeAll();
  port.ClearErrors();
  port.Write(&sent, 1);
  if (in != out && !port.Configure(kBX1Baud, in))
    return Row(kBX1Baud, check, false, port.LastConfigureError());
  uint8_t back = 0;
  const int got = port.Read(&back, 1, kFirstByteWait);
  port.ClearErrors();
  if (got != 1 || back != sent) return Row(kBX1Baud, check, false, "no echo, or a changed one");
  return Row(kBX1Baud, check, port.LastErrors() == wanted, "the ninth-bit mark is wrong");
}

TLoopbackRow CheckBreak(TRS232o& port, int baud) {
  port.Configure(baud, 'N');
  port.PurgeAll();
  port.ClearErrors();
  port.SetBreak(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(std::max(20, 3 * port.MsPerByte())));
  port.SetBreak(false);
  uint8_t back = 0xFF;
  const int got = port.Read(&back, 1, kFirstByteWait);
  port.ClearErrors();
  return Row(baud, kBreakCheck, got == 1 && back == 0 && (port.LastErrors() & leBreak) != 0,
             "no break came back");
}

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
  report.PlugFound = !Echo(port, {0x55}, &errors).empty();
  if (!report.PlugFound) return report;
  for (int baud : LoopbackRates()) report.Rows.push_back(CheckBytes(port, baud));
  // A line that keeps no parity at all (a pseudo-terminal) cannot show the BX1's checks.
  const bool parityKept = port.Configure(kBX1Baud, 'E');
  const char* const kNoParity = "this line carries no parity (a pseudo-terminal?)";
  for (const char* check : {kMarkCheck, kSpaceCheck, kNinthCheck}) {
    if (!parityKept) {
      report.Rows.push_back(NotMade(kBX1Baud, check, kNoParity));
    } else if (check == kMarkCheck) {
      report.Rows.push_back(CheckParity(port, check, 'M', 'M', 0x81, 0));
    } else if (check == kSpaceCheck) {
      report.Rows.push_back(CheckParity(port, check, 'S', 'S', 0x34, 0));
    } else {
      report.Rows.push_back(CheckParity(port, check, 'M', 'S', 0x81, leParity));
    }
  }
  if (parityKept)
    report.Rows.push_back(CheckBreak(port, 2400));
  else
    report.Rows.push_back(NotMade(2400, kBreakCheck, "a pseudo-terminal carries no break"));
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
  return true;
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
    std::snprintf(line, sizeof line, "%-8d %-30s %s", row.Baud, row.Check.c_str(),
                  ResultWords(row.Result));
    table += line;
    if (!row.Note.empty()) table += " (" + row.Note + ")";
    table += "\n";
  }
  return table;
}
