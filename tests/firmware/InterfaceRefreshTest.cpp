// The interface firmware refresh: the decisions of RefreshInterface for each flag
// and version, and the whole detect-refresh-detect road against the simulator.

#include <gtest/gtest.h>

#include <ostream>

#include <QBuffer>

#include "firmware/EmbeddedImage.h"
#include "firmware/InterfaceRefresh.h"
#include "link/BX2Driver.h"
#include "link/Detection.h"
#include "sim/Simulator.h"
#include "tests/link/DetectionTestSupport.h"

namespace {

class RefreshTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartDetectionUnits(); }
};

// ---- decisions that end before the interface is touched ----------------------------------

struct TDecisionCase {
  const char* Name;
  uint8_t Flags;
  int Det;
  int32_t Installed;
  std::deque<int> Answers;
  int Result;
  std::vector<int> Asked;
};
void PrintTo(const TDecisionCase& c, std::ostream* os) {
  *os << c.Name;
}

class RefreshDecisionTest : public RefreshTest,
                            public ::testing::WithParamInterface<TDecisionCase> {};

TEST_P(RefreshDecisionTest, PromptsAndResult) {
  const TDecisionCase& c = GetParam();
  TRS232o port;  // never opened: none of these cases may use it
  QBuffer stream;
  stream.setData(QByteArray("image"));
  stream.open(QIODevice::ReadOnly);
  TPromptScript prompts(c.Answers);
  int det = c.Det;
  EXPECT_EQ(RefreshInterface(port, &stream, 1130132, c.Flags, imKMBus, c.Installed, det), c.Result);
  EXPECT_EQ(prompts.Asked, c.Asked);
  EXPECT_EQ(det, c.Det);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, RefreshDecisionTest,
    ::testing::Values(
        TDecisionCase{"NothingDetected", 22, adNothing, 0, {}, rrNotApplicable, {}},
        TDecisionCase{"Bx1", 22, adBX1, 0, {}, rrNotApplicable, {}},
        TDecisionCase{"UpToDate", 22, adBX2, 1130132, {}, rrNothingDone, {}},
        TDecisionCase{"Newer", 22, adBX2, 1130140, {}, rrNothingDone, {}},
        TDecisionCase{"SpecialMinor", 22, adBX2, 1130050, {}, rrNothingDone, {upSpecialFirmware}},
        TDecisionCase{
            "OtherMajor", 22, adWokenBX2, 1120140, {}, rrNothingDone, {upSpecialFirmware}},
        TDecisionCase{"OlderDeclined", 22, adBX2, 1130120, {drNo}, rrNothingDone, {upWillUpdate}},
        TDecisionCase{"OlderDeclinedWithoutFlag16",
                      6,
                      adBX2,
                      1130120,
                      {drNo},
                      rrNothingDone,
                      {upNotUpToDate}},
        // Without flag 4 a special installed firmware is compared like any other.
        TDecisionCase{"SpecialComparedWithoutFlag4",
                      16,
                      adBX2,
                      1130050,
                      {drNo},
                      rrNothingDone,
                      {upWillUpdate}},
        TDecisionCase{"AnywayFlag8", 8 | 16, adBX2, 1130140, {drNo}, rrNothingDone, {upWillUpdate}},
        TDecisionCase{
            "AlwaysFlag1Declined", 1, adBX2, 1130132, {drNo}, rrNothingDone, {upWillUpdate}},
        TDecisionCase{"BadlyProgrammedDeclined",
                      22,
                      adBadBX2,
                      0,
                      {drNo},
                      rrNothingDone,
                      {upBadlyProgrammed}}),
    [](const ::testing::TestParamInfo<TDecisionCase>& p) { return std::string(p.param.Name); });

TEST_F(RefreshTest, NoStreamIsNotApplicable) {
  TRS232o port;
  TPromptScript prompts;
  int det = adBadBX2;
  EXPECT_EQ(RefreshInterface(port, nullptr, 1130132, 22, imKMBus, 0, det), rrNotApplicable);
  EXPECT_TRUE(prompts.Asked.empty());
}

TEST_F(RefreshTest, DamagedImageIsReportedAndFails) {
  TRS232o port;
  QBuffer stream;
  stream.setData(QByteArray(100, 'x'));
  stream.open(QIODevice::ReadOnly);
  TDialogScope dialogs;  // agrees to every instruction
  TLogCapture log;
  TPromptScript prompts({drYes, drOK});
  int det = adBadBX2;
  EXPECT_EQ(RefreshInterface(port, &stream, 1130132, 22, imKMBus, 0, det), rrFailed);
  EXPECT_EQ(det, adNothing);
  EXPECT_EQ(prompts.Asked,
            (std::vector<int>{upBadlyProgrammed, upPowerCycle, upFirmwareDataError}));
  EXPECT_TRUE(log.Contains("Reprogram procedure for BX2 started"));
  EXPECT_TRUE(log.Contains("Error in firmware stream!"));
}

TEST_F(RefreshTest, PromptStringsAreDeclaredWithTheirTexts) {
  for (int kind = 0; kind < 9; ++kind) {
    // The default prompt shows through the dialog point.
    TDialogScope dialogs;
    DefaultUserPrompt(kind, "BX2");
    const auto texts = dialogs.Handler->Shown();
    const std::string shown = texts.empty() ? std::string() : texts.back();
    EXPECT_FALSE(shown.empty()) << kind;
    if (kind == upProgrammed) {
      EXPECT_EQ(shown.rfind("BX2 programmed.", 0), 0u) << shown;
    }
    if (kind == upConnectError) {
      EXPECT_EQ(shown.rfind("Error establishing connection with BX2", 0), 0u) << shown;
    }
  }
  EXPECT_EQ(DefaultUserPrompt(9, "BX2"), drOK);
}

// ---- against the simulator, with the main window's flags ---------------------------------------

struct TSimRefresh {
  explicit TSimRefresh(TSimOptions options) : Sim(std::move(options)) {
    Port = std::make_unique<TRS232o>();
    Port->Open(static_cast<uint32_t>(Sim.RegisterAsPort()), 1200, 'N', 1024, 1024);
    Recorder = std::make_unique<TSentRecorder>(*Port);
  }
  TSimulation Sim;
  std::unique_ptr<TRS232o> Port;
  std::unique_ptr<TSentRecorder> Recorder;
};

// The user switches the equipment off and on before confirming that the interface
// was programmed, as the message asks.
void PowerCycleWhenAsked(TPromptScript& prompts, TSimulation& sim) {
  prompts.OnAsk = [&sim](int kind) {
    if (kind == upProgrammed) sim.PowerCycle();
  };
}

TSimOptions InstalledVersion(uint32_t version) {
  TSimOptions options;
  options.InterfaceVersion = version;
  return options;
}

TEST_F(RefreshTest, CurrentOrSpecialFirmwareIsUsedAtOnce) {
  const std::pair<uint32_t, std::vector<int>> cases[] = {
      {1130132, {}}, {1130140, {}}, {1130050, {upSpecialFirmware}}, {1120140, {upSpecialFirmware}}};
  for (const auto& [installed, asked] : cases) {
    TSimRefresh setup(InstalledVersion(installed));
    TLogCapture log;
    TPromptScript prompts;
    TThreadPtr<TBusDriver> driver = DetectInterface(setup.Port, nullptr, 0, DefaultDetectFlags);
    EXPECT_NE(dynamic_cast<TBX2Driver*>(driver.get()), nullptr) << installed;
    EXPECT_EQ(prompts.Asked, asked) << installed;
    EXPECT_EQ(log.StartingWith("AutoDetectResult: ").size(), 1u) << installed;
    EXPECT_EQ(setup.Sim.InterfaceVersion(), installed);
  }
}

TEST_F(RefreshTest, OlderFirmwareIsReprogrammedThenDetectedAgainAndUsed) {
  TSimRefresh setup(InstalledVersion(1130120));
  TDialogScope dialogs;  // agrees to every instruction
  TLogCapture log;
  TPromptScript prompts({drYes, drOK});
  PowerCycleWhenAsked(prompts, setup.Sim);
  TThreadPtr<TBusDriver> driver = DetectInterface(setup.Port, nullptr, 0, DefaultDetectFlags);
  EXPECT_EQ(prompts.Asked, (std::vector<int>{upWillUpdate, upProgrammed}));
  EXPECT_EQ(prompts.Names.back(), "BX2");
  EXPECT_TRUE(log.Contains("Reprogram procedure for BX2 started"));
  EXPECT_EQ(setup.Sim.InterfaceVersion(), 1130132u);
  EXPECT_EQ(log.StartingWith("AutoDetectResult: ").size(), 2u);
  EXPECT_TRUE(
      log.Contains("  BX2 detected\r    Version: 1130132\r    mode: KMBus\r    New bootblock"));
  EXPECT_NE(dynamic_cast<TBX2Driver*>(driver.get()), nullptr);
}

TEST_F(RefreshTest, BadlyProgrammedDeclinedSendsNothingMore) {
  TSimOptions options;
  options.Interface = TSimInterface::Bx2BadlyProgrammed;
  TSimRefresh setup(options);
  TPromptScript prompts({drNo});
  TThreadPtr<TBusDriver> driver = DetectInterface(setup.Port, nullptr, 0, DefaultDetectFlags);
  EXPECT_EQ(driver, nullptr);
  EXPECT_EQ(prompts.Asked, std::vector<int>{upBadlyProgrammed});
  EXPECT_EQ(setup.Recorder->SentAfter(prompts.LastAsked), 0);
  EXPECT_FALSE(setup.Sim.Line()->HostState().Break);
}

TEST_F(RefreshTest, BadlyProgrammedCancelledAtPowerCycleLeavesTheBreakOn) {
  TSimOptions options;
  options.Interface = TSimInterface::Bx2BadlyProgrammed;
  TSimRefresh setup(options);
  TPromptScript prompts({drYes, drCancel});
  TThreadPtr<TBusDriver> driver = DetectInterface(setup.Port, nullptr, 0, DefaultDetectFlags);
  EXPECT_EQ(driver, nullptr);
  EXPECT_EQ(prompts.Asked, (std::vector<int>{upBadlyProgrammed, upPowerCycle}));
  ASSERT_NE(setup.Port, nullptr);
  EXPECT_TRUE(setup.Sim.Line()->HostState().Break);
}

TEST_F(RefreshTest, BadlyProgrammedIsRepairedWithTheEmbeddedImage) {
  TSimOptions options;
  options.Interface = TSimInterface::Bx2BadlyProgrammed;
  options.InterfaceVersion = 0;  // what it ran before it lost its firmware
  TSimRefresh setup(options);
  TDialogScope dialogs;  // agrees to every instruction
  TLogCapture log;
  TPromptScript prompts({drYes, drOK, drOK});
  PowerCycleWhenAsked(prompts, setup.Sim);
  TThreadPtr<TBusDriver> driver = DetectInterface(setup.Port, nullptr, 0, DefaultDetectFlags);
  EXPECT_EQ(prompts.Asked, (std::vector<int>{upBadlyProgrammed, upPowerCycle, upProgrammed}));
  EXPECT_TRUE(log.Contains("Reprogram procedure for BX2 started"));
  EXPECT_EQ(setup.Sim.Stats().LinesRejected, 0);
  EXPECT_EQ(setup.Sim.InterfaceVersion(), 1130132u);
  // Detection runs again after the repair and uses the interface.
  EXPECT_EQ(log.StartingWith("AutoDetectResult: ").size(), 2u);
  EXPECT_NE(dynamic_cast<TBX2Driver*>(driver.get()), nullptr);
}

}  // namespace
