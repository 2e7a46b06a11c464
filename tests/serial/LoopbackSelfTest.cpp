// The adapter self-test against a loopback plug on the virtual line (which carries
// the ninth bit and breaks), without a plug, and over weaker adapter drivers.

#include <gtest/gtest.h>

#include <algorithm>

#include "serial/Loopback.h"
#include "tests/common/BackendDouble.h"

namespace {

// TX wired to RX: every byte comes back as it was sent, a break as a break.
class TLoopbackPlug : public TVirtualDevice {
 public:
  void OnHostByte(TVirtualLine& line, const TWireByte& byte, TLineTime) override {
    line.SendToHost({byte});
  }
  void OnLineChange(TVirtualLine& line, const TLineState& state, TLineTime) override {
    if (BreakOn && !state.Break) line.SendToHost({TWireByte{0, -1, state.Baud}}, {}, leBreak);
    BreakOn = state.Break;
  }

 private:
  bool BreakOn = false;
};

struct TAdapter {
  explicit TAdapter(bool plugged) {
    if (plugged) Line->AttachDevice(std::make_shared<TLoopbackPlug>());
  }
  TLoopbackReport Run() {
    TRS232o port;
    EXPECT_TRUE(
        port.OpenOn(std::make_unique<TBackendDouble>(Line, Knobs), 44, 1200, 'N', 1024, 1024));
    return RunLoopbackTest(port);
  }
  std::shared_ptr<TVirtualLine> Line = std::make_shared<TVirtualLine>(true);  // real wire times
  std::shared_ptr<TBackendKnobs> Knobs = std::make_shared<TBackendKnobs>();
};

int Count(const TLoopbackReport& report, TCheckResult result) {
  return static_cast<int>(
      std::count_if(report.Rows.begin(), report.Rows.end(),
                    [result](const auto& row) { return row.Result == result; }));
}

}  // namespace

TEST(LoopbackSelfTest, AGoodAdapterWithAPlugServesBothInterfaces) {
  TAdapter adapter(true);
  const TLoopbackReport report = adapter.Run();
  ASSERT_TRUE(report.PlugFound);
  EXPECT_EQ(Count(report, TCheckResult::crPassed), static_cast<int>(report.Rows.size()))
      << LoopbackTable(report);
  // bytes per rate, three parity checks, break, counters
  EXPECT_EQ(report.Rows.size(), LoopbackRates().size() + 5);
  EXPECT_EQ(LoopbackExitCode(report), 0);
  EXPECT_EQ(LoopbackVerdict(report), "This adapter can serve both a BX2 and a BX1.");
  EXPECT_NE(LoopbackTable(report).find("7680     bytes unchanged (0xFF incl.)   passed"),
            std::string::npos)
      << LoopbackTable(report);
}

TEST(LoopbackSelfTest, WithoutAPlugItSaysSoInsteadOfFailingEveryRow) {
  TAdapter adapter(false);
  const TLoopbackReport report = adapter.Run();
  EXPECT_FALSE(report.PlugFound);
  EXPECT_TRUE(report.Rows.empty());
  EXPECT_EQ(LoopbackExitCode(report), 3);
  EXPECT_NE(LoopbackVerdict(report).find("No loopback plug"), std::string::npos);
}

TEST(LoopbackSelfTest, VerdictFollowsWhatTheDriverCannotDo) {
  TAdapter noMarkSpace(true);
  noMarkSpace.Knobs->DropMarkSpace = true;
  TLoopbackReport report = noMarkSpace.Run();
  EXPECT_EQ(LoopbackExitCode(report), 1) << LoopbackTable(report);
  EXPECT_EQ(LoopbackVerdict(report), "This adapter can serve a BX2, not a BX1.");
  EXPECT_NE(LoopbackTable(report).find("mark and space parity"), std::string::npos);

  TAdapter standardRates(true);
  standardRates.Knobs->StandardRatesOnly = true;  // no 7680 for the boot loader
  report = standardRates.Run();
  EXPECT_FALSE(ServesBX2(report));
  EXPECT_TRUE(ServesBX1(report));
  EXPECT_EQ(LoopbackExitCode(report), 3);
  EXPECT_EQ(Count(report, TCheckResult::crFailed), 1) << LoopbackTable(report);
}

// The BX1 leans on the counters to read marked bytes: counters that disagree with what
// was read cost the BX1, a driver without counters costs nothing.
TEST(LoopbackSelfTest, DriverCountersAreHeldAgainstWhatWasRead) {
  TAdapter miscounting(true);
  miscounting.Knobs->BreakCountedAsFrame = true;
  TLoopbackReport report = miscounting.Run();
  EXPECT_EQ(LoopbackExitCode(report), 1) << LoopbackTable(report);
  EXPECT_NE(LoopbackTable(report).find("all      driver's error counters agree  FAILED (the driver "
                                       "counted parity 1, framing 1, break 0; the reads saw "
                                       "parity 1, framing 0, break 1)"),
            std::string::npos)
      << LoopbackTable(report);

  TAdapter noCounters(true);
  noCounters.Knobs->NoCounters = true;
  report = noCounters.Run();
  EXPECT_EQ(LoopbackExitCode(report), 0) << LoopbackTable(report);
  EXPECT_NE(LoopbackTable(report).find("not made (this driver keeps no error counters)"),
            std::string::npos);
}
