#pragma once
// The adapter self-test for technicians: with a loopback plug (TX wired to RX) on the
// adapter, checks at every rate the tool uses that bytes come back unchanged, that
// mark and space parity work the way the BX1 needs them, and that a break comes back
// as a break, and that the driver's error counters agree with what was read; then says whether the
// adapter can serve a BX2, a BX1, both or neither.

#include <string>
#include <vector>

#include "serial/SerialPort.h"

enum class TCheckResult { crPassed, crFailed, crNotMade };

struct TLoopbackRow {
  int Baud = 0;  // 0 for a check over the whole run
  std::string Check;
  TCheckResult Result = TCheckResult::crNotMade;
  std::string Note;  // why it failed or was not made
};

struct TLoopbackReport {
  bool PlugFound = false;  // anything came back at all
  std::vector<TLoopbackRow> Rows;
};

// The rates the tool uses: the BX1's, the BX2's and the boot loader's baud hunt.
const std::vector<int>& LoopbackRates();

// Runs every check on an open port (which it leaves at 1200 baud, no parity).
TLoopbackReport RunLoopbackTest(TRS232o& port);

// The verdict, from the rows alone.
bool ServesBX2(const TLoopbackReport& report);
bool ServesBX1(const TLoopbackReport& report);
// One line for the user.
std::string LoopbackVerdict(const TLoopbackReport& report);
// What to do about a failed row (empty for a row that did not fail).
std::string LoopbackAdvice(const TLoopbackRow& row);
// 0 both interfaces, 1 only the BX2, 3 neither (no plug included).
int LoopbackExitCode(const TLoopbackReport& report);
// The table (rate, check, result), one row a line.
std::string LoopbackTable(const TLoopbackReport& report);
