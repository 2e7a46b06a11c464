// The calibration job end to end, in process: the cycle drives the tool's real
// detection, drivers and variable over a virtual line to the simulated interface
// and device, and the device's memory is checked afterwards against the log.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QThread>
#include <algorithm>

#include "app/CalibrationCycle.h"
#include "app/console/Modes.h"
#include "link/BX1Driver.h"
#include "serial/PortMap.h"
#include "serial/SerialPort.h"
#include "serial/VirtualLine.h"
#include "sim/Simulator.h"
#include "support/StopRequest.h"
#include "tests/common/BackendDouble.h"
#include "tests/common/ProgramUnits.h"
#include "tests/common/TestWaits.h"

namespace {

struct TLogLine {
  std::string Text;
  uint32_t Colour;
  TLogStyle Style;
};

class TRecordingView : public TCycleView {
 public:
  void AddLog(const std::string& text, bool newLine, uint32_t colour, TLogStyle style,
              bool) override {
    if (newLine || Lines.empty())
      Lines.push_back({text, colour, style});
    else
      Lines.back().Text += text;
    if (OnLine) OnLine(text);
  }
  void SelectPortItem(int index) override { SelectedItem = index; }
  void DeviceDone(TDeviceOutcome outcome) override { Outcomes.push_back(outcome); }
  void PortOpenFailed(uint32_t, const std::string&) override { ++OpenFailures; }

  bool Has(const std::string& text, uint32_t colour, TLogStyle style) const {
    for (const auto& line : Lines)
      if (line.Text == text && line.Colour == colour && line.Style == style) return true;
    return false;
  }
  bool Has(const std::string& text) const { return IndexOf(text) < Lines.size(); }
  size_t IndexOf(const std::string& text) const {
    for (size_t i = 0; i < Lines.size(); ++i)
      if (Lines[i].Text == text) return i;
    return Lines.size();
  }

  std::vector<TLogLine> Lines;
  std::vector<TDeviceOutcome> Outcomes;
  std::function<void(const std::string&)> OnLine;
  int SelectedItem = -1;
  int OpenFailures = 0;
};

class CycleTest : public ::testing::Test {
 protected:
  void Start(TSimOptions options = {}) {
    Sim = std::make_unique<TSimulation>(options);
    PortNumber = Sim->RegisterAsPort();
    ASSERT_GT(PortNumber, 0);
    Cycle = std::make_unique<TCalibrationCycle>(View);
    Cycle->Initialise();
    Cycle->ChoosePortNumber(static_cast<uint32_t>(PortNumber));
  }
  // Runs ticks until a device is done (or a generous number of ticks has passed).
  void RunUntilDone(int maxTicks = 40) {
    for (int i = 0; i < maxTicks && View.Outcomes.empty(); ++i) Cycle->TestConnection();
  }
  // One device behind an interface older than the image the tool carries; the refresh
  // question is answered `answer`.
  void RunWithOlderInterface(TAnswerMode answer) {
    auto previous = SetDialogHandler(std::make_unique<TConsoleDialogs>(answer, false));
    TSimOptions options;
    options.InterfaceVersion = 1130120;
    Start(options);
    RunUntilDone(60);
    SetDialogHandler(std::move(previous));
  }
  void TearDown() override {
    Cycle.reset();
    Sim.reset();
    ClearStopRequest();
  }
  // Ticks (as the timer does, no faster) until `done`; a lost port is tried once a
  // second.
  bool TickUntil(const std::function<bool()>& done, int ms = 15000) {
    return WaitUntil(
        [&] {
          if (done()) return true;
          Cycle->TestConnection();
          QThread::msleep(50);
          return false;
        },
        ms);
  }
  bool WroteTo(uint16_t address) const {
    for (const auto& write : Sim->Writes())
      if (write.Address == address || write.Address == address + 1) return true;
    return false;
  }

  TRecordingView View;
  std::unique_ptr<TSimulation> Sim;
  std::unique_ptr<TCalibrationCycle> Cycle;
  int PortNumber = 0;
};

TEST(CorrectionScale, RoundsHalfAwayFromZero) {
  const std::pair<int32_t, int64_t> cases[] = {
      {1000, 6400}, {1001, 6406}, {1003, 6419}, {1004, 6426}, {5, 32}, {0, 0}, {10239, 65530}};
  for (const auto& [v, scaled] : cases) EXPECT_EQ(ScaleCalibration(v), scaled) << v;
}

TEST_F(CycleTest, CorrectsTheDeviceAndClosesTheEeprom) {
  Start();
  EXPECT_TRUE(View.Has("Trying to connect at COM" + std::to_string(PortNumber)));
  EXPECT_TRUE(View.Has("Make sure device is switched on."));
  RunUntilDone();
  ASSERT_EQ(View.Outcomes, std::vector<TDeviceOutcome>{TDeviceOutcome::Ok});
  EXPECT_EQ(Sim->ReadWord(0x21A8), 6419);
  EXPECT_EQ(Sim->ReadWord(0x21C2), 6419);
  EXPECT_EQ(Sim->ReadWord(0x21C4), 1003);
  EXPECT_FALSE(Sim->EepromWritesEnabled());
  EXPECT_TRUE(View.Has("Connected!"));
  EXPECT_TRUE(View.Has("Software version: 2606207"));
  EXPECT_TRUE(View.Has("Adapting..", lcBlack, TLogStyle::Regular));
  EXPECT_TRUE(View.Has("OK!", lcGreen, TLogStyle::Bold));
  EXPECT_TRUE(View.Has(std::string(32, '_'), lcBlack, TLogStyle::Bold));
  EXPECT_TRUE(View.Has("(To restart, select comport.)"));
  EXPECT_EQ(View.SelectedItem, 0);
  EXPECT_EQ(Cycle->Port(), nullptr);
  EXPECT_EQ(Cycle->Driver(), nullptr);
}

// An interface with older firmware is brought up to date (the user says Yes), detected
// again and used for the correction, all in one run of the cycle.
TEST_F(CycleTest, RefreshesTheInterfaceThenCorrects) {
  RunWithOlderInterface(TAnswerMode::Yes);
  ASSERT_EQ(View.Outcomes, std::vector<TDeviceOutcome>{TDeviceOutcome::Ok});
  EXPECT_EQ(Sim->InterfaceVersion(), 1130132u);
  EXPECT_EQ(Sim->ReadWord(0x21A8), 6419);
  EXPECT_EQ(Sim->ReadWord(0x21C2), 6419);
  EXPECT_FALSE(Sim->EepromWritesEnabled());
}

// Saying No leaves the interface as it is and still corrects through it.
TEST_F(CycleTest, DecliningTheRefreshStillCorrects) {
  RunWithOlderInterface(TAnswerMode::No);
  EXPECT_EQ(Sim->InterfaceVersion(), 1130120u);
  ASSERT_EQ(View.Outcomes, std::vector<TDeviceOutcome>{TDeviceOutcome::Ok});
  EXPECT_EQ(Sim->ReadWord(0x21A8), 6419);
}

TEST_F(CycleTest, DeviceAtAnotherBusAddressIsFound) {
  TSimOptions options;
  options.DeviceAddress = 5;
  Start(options);
  RunUntilDone();
  ASSERT_EQ(View.Outcomes, std::vector<TDeviceOutcome>{TDeviceOutcome::Ok});
  EXPECT_EQ(Sim->ReadWord(0x21A8), 6419);
}

// Versions the gate refuses: the switch is still handled, the targets never touched.
TEST_F(CycleTest, GateRefusesOtherFirmware) {
  struct TCase {
    uint32_t Version;
    int SwitchAddress;  // 0 = no bus traffic for the switch
  };
  for (const TCase c : {TCase{2606199, 1279}, TCase{2606141, 1279}, TCase{2606140, 0},
                        TCase{1806200, 512}, TCase{2106250, 512}}) {
    SCOPED_TRACE(c.Version);
    TearDown();
    View = TRecordingView();
    TSimOptions options;
    options.DeviceVersion = c.Version;
    Start(options);
    RunUntilDone();
    ASSERT_EQ(View.Outcomes, std::vector<TDeviceOutcome>{TDeviceOutcome::Failed});
    EXPECT_TRUE(View.Has("Error:", lcRed, TLogStyle::Bold));
    EXPECT_TRUE(
        View.Has("Program intented for fimrware 19xx200/20xx200/26xx200/27xx200 or higher"));
    EXPECT_TRUE(View.Has("Error occurred", lcRed, TLogStyle::Bold));
    EXPECT_FALSE(View.Has("Adapting.."));
    EXPECT_FALSE(WroteTo(0x21A8));
    EXPECT_FALSE(WroteTo(0x21C2));
    if (c.SwitchAddress == 0) {
      EXPECT_TRUE(Sim->Writes().empty());
    } else {
      EXPECT_TRUE(WroteTo(static_cast<uint16_t>(c.SwitchAddress)));
      EXPECT_FALSE(Sim->EepromWritesEnabled());
    }
  }
}

TEST_F(CycleTest, ValueThatDoesNotFitAWordIsNeverWritten) {
  TSimOptions options;
  options.CalibrationSource = 10240;  // scales to 65536
  Start(options);
  RunUntilDone();
  ASSERT_EQ(View.Outcomes, std::vector<TDeviceOutcome>{TDeviceOutcome::Failed});
  EXPECT_TRUE(View.Has("Adapting.."));
  EXPECT_TRUE(View.Has("Error occurred", lcRed, TLogStyle::Bold));
  EXPECT_FALSE(WroteTo(0x21A8));
  EXPECT_FALSE(WroteTo(0x21C2));
  EXPECT_FALSE(Sim->EepromWritesEnabled());
}

TEST_F(CycleTest, SourceThatDoesNotReadWritesNothing) {
  View.OnLine = [this](const std::string& text) {
    if (text == "Adapting..") Sim->SetDeviceSilent(true);
  };
  Start();
  RunUntilDone();
  // The silent device cannot have its switch turned off either, and the log says so.
  ASSERT_EQ(View.Outcomes, std::vector<TDeviceOutcome>{TDeviceOutcome::SwitchLeftOn});
  EXPECT_TRUE(View.Has("Error occurred", lcRed, TLogStyle::Bold));
  EXPECT_TRUE(View.Has(SwitchOffFailedMessage, lcRed, TLogStyle::Bold));
  EXPECT_FALSE(WroteTo(0x21A8));
  EXPECT_FALSE(WroteTo(0x21C2));
}

TEST_F(CycleTest, TargetThatDoesNotVerifyIsReportedAndSecondNotWritten) {
  // Closing the device's EEPROM behind the tool's back makes the first target's
  // write vanish, so its read-back can never agree.
  View.OnLine = [this](const std::string& text) {
    if (text == "Adapting..") Sim->WriteByte(512, 0);
  };
  Start();
  RunUntilDone(60);
  ASSERT_EQ(View.Outcomes, std::vector<TDeviceOutcome>{TDeviceOutcome::Failed});
  EXPECT_TRUE(View.Has("Error occurred", lcRed, TLogStyle::Bold));
  EXPECT_NE(Sim->ReadWord(0x21A8), 6419);
  EXPECT_FALSE(WroteTo(0x21C2));
  EXPECT_FALSE(View.Has("OK!"));
}

// A port pulled while the device is calibrated: the device ends with its error (never
// "OK!"), the loss is said, and once the port is back the device is done after all.
TEST_F(CycleTest, DroppedPortNeverReportsSuccessAndComesBack) {
  for (const char* pulledAt : {"Connected!", "Adapting.."}) {
    SCOPED_TRACE(pulledAt);
    View = {};
    View.OnLine = [this, pulledAt](const std::string& text) {
      if (text == pulledAt) Sim->Vanish();
    };
    Start();
    const std::string lost = PortLostText(static_cast<uint32_t>(PortNumber));
    ASSERT_TRUE(TickUntil([&] { return View.Has(lost); }));
    View.OnLine = nullptr;
    EXPECT_TRUE(View.Has("Error occurred", lcRed, TLogStyle::Bold) ||
                View.Has("Error in writing EEPROM.", lcRed, TLogStyle::Bold));
    EXPECT_FALSE(View.Has("OK!"));
    EXPECT_NE(Sim->ReadWord(0x21A8), 6419);
    EXPECT_TRUE(View.Outcomes.empty());  // not done: it is tried again
    EXPECT_EQ(Cycle->Driver(), nullptr);
    Sim->Reconnect();
    ASSERT_TRUE(TickUntil([&] { return !View.Outcomes.empty(); }));
    EXPECT_EQ(View.Outcomes, std::vector<TDeviceOutcome>{TDeviceOutcome::Ok});
    EXPECT_EQ(Sim->ReadWord(0x21A8), 6419);
    EXPECT_EQ(Sim->ReadWord(0x21C2), 6419);
    EXPECT_FALSE(Sim->EepromWritesEnabled());
    TearDown();
  }
}

// The adapter pulled while nothing answers yet: said once (no marks while it is away),
// and once it is back (and free) the cycle goes on as if the port had just been chosen.
TEST_F(CycleTest, APortLostBeforeTheDeviceAnswersIsOpenedAgainOnceBack) {
  Start();
  Sim->Vanish();
  const std::string lost = PortLostText(static_cast<uint32_t>(PortNumber));
  ASSERT_TRUE(TickUntil([&] { return View.Has(lost); }));
  EXPECT_TRUE(View.Has(lost, lcRed, TLogStyle::Regular));
  const size_t linesAtLoss = View.Lines.size();
  TickUntil([] { return false; }, 1500);
  EXPECT_EQ(View.Lines.size(), linesAtLoss);
  EXPECT_EQ(View.Lines.back().Text, lost);
  // Back, but held by another program for a while: said once, in red.
  Sim->Reconnect();
  auto other = std::make_unique<TRS232o>();
  ASSERT_TRUE(other->Open(static_cast<uint32_t>(PortNumber), 1200, 'N', 64, 64));
  const std::string inUse = "in use by another program";
  auto inUseLines = [&] {
    return std::count_if(View.Lines.begin(), View.Lines.end(), [&](const TLogLine& line) {
      return line.Text.find(inUse) != std::string::npos && line.Colour == lcRed;
    });
  };
  ASSERT_TRUE(TickUntil([&] { return inUseLines() > 0; }));
  TickUntil([] { return false; }, 1500);
  EXPECT_EQ(inUseLines(), 1);
  other.reset();
  ASSERT_TRUE(TickUntil([&] { return !View.Outcomes.empty(); }));
  EXPECT_EQ(View.Outcomes, std::vector<TDeviceOutcome>{TDeviceOutcome::Ok});
  EXPECT_EQ(Sim->ReadWord(0x21A8), 6419);
  const std::string trying = "Trying to connect at COM" + std::to_string(PortNumber);
  EXPECT_EQ(std::count_if(View.Lines.begin(), View.Lines.end(),
                          [&](const TLogLine& line) { return line.Text == trying; }),
            2);
}

// An adapter whose driver lacks mark and space parity cannot carry the BX1: the log
// says so once, in red, instead of marks without a word.
TEST_F(CycleTest, AnAdapterTheBx1CannotUseIsNamedOnceInTheLog) {
  TSimOptions options;
  options.Interface = TSimInterface::Bx1;
  Sim = std::make_unique<TSimulation>(options);
  auto knobs = std::make_shared<TBackendKnobs>();
  knobs->DropMarkSpace = true;
  auto port = std::make_unique<TRS232o>();
  ASSERT_TRUE(port->OpenOn(std::make_unique<TBackendDouble>(Sim->Line(), knobs), 45, 1200, 'N',
                           1024, 1024));
  Cycle = std::make_unique<TCalibrationCycle>(View);
  Cycle->Initialise();
  Cycle->AdoptDriver(TThreadPtr<TBusDriver>(TBX1Driver::Create(std::move(port))));
  for (int i = 0; i < 4; ++i) Cycle->TestConnection();
  const auto refusals = std::count_if(View.Lines.begin(), View.Lines.end(), [](const TLogLine& l) {
    return l.Text.find("does not support the mark and space parity") != std::string::npos &&
           l.Colour == lcRed;
  });
  EXPECT_EQ(refusals, 1);
}

TEST_F(CycleTest, MarksEachTickOnTheCurrentLineWhileNothingAnswers) {
  auto line = std::make_shared<TVirtualLine>(false);  // nothing attached
  const int number = RegisterVirtualPortAnywhere(line);
  ASSERT_GT(number, 0);
  Cycle = std::make_unique<TCalibrationCycle>(View);
  Cycle->Initialise();
  Cycle->ChoosePortNumber(static_cast<uint32_t>(number));
  for (int i = 0; i < 3; ++i) Cycle->TestConnection();
  EXPECT_EQ(View.Lines.back().Text, "Make sure device is switched on.* * * ");
  EXPECT_NE(Cycle->Port(), nullptr);
  EXPECT_TRUE(View.Outcomes.empty());
  Cycle.reset();
  UnregisterVirtualPort(number);
}

TEST_F(CycleTest, PortThatDoesNotOpenReturnsToSelect) {
  ClearPortAssignments();
  Cycle = std::make_unique<TCalibrationCycle>(View);
  Cycle->Initialise();
  Cycle->ChoosePortNumber(250);  // nothing is mapped there
  EXPECT_TRUE(View.Has("Error opening port: COM250"));
  EXPECT_EQ(View.OpenFailures, 1);
  EXPECT_EQ(View.SelectedItem, 0);
  EXPECT_EQ(Cycle->Port(), nullptr);
  EXPECT_FALSE(Cycle->TimerEnabled());
}

TEST_F(CycleTest, ItemWithoutListEntryIsTakenAsSelect) {
  Cycle = std::make_unique<TCalibrationCycle>(View);
  Cycle->Initialise();
  Cycle->ChoosePortItem(1);  // the design-time "Com1" before the first drop-down
  EXPECT_EQ(Cycle->Port(), nullptr);
  EXPECT_EQ(View.SelectedItem, 0);
}

TEST_F(CycleTest, PortChoiceDuringATickWaitsForTheTick) {
  bool chosen = false;
  View.OnLine = [&](const std::string& text) {
    if (text == "Adapting.." && !chosen) {
      chosen = true;
      Cycle->ChoosePortItem(0);  // "Select com port" while the correction runs
      EXPECT_NE(Cycle->Driver(), nullptr);
    }
  };
  Start();
  RunUntilDone();
  ASSERT_TRUE(chosen);
  ASSERT_EQ(View.Outcomes, std::vector<TDeviceOutcome>{TDeviceOutcome::Ok});
  EXPECT_EQ(Sim->ReadWord(0x21C2), 6419);
  EXPECT_EQ(Cycle->Driver(), nullptr);
  EXPECT_EQ(Cycle->Port(), nullptr);
  EXPECT_FALSE(Cycle->TimerEnabled());  // the deferred choice of item 0 left it off
}

// Closing the window while the correction runs: the tick reaches its safe point (the
// correction finished, the switch off again) before the shutdown frees anything.
TEST_F(CycleTest, ShutdownDuringATickWaitsForTheTick) {
  int done = 0;
  bool asked = false;
  View.OnLine = [&](const std::string& text) {
    if (text == "Adapting.." && !asked) {
      asked = true;
      EXPECT_FALSE(Cycle->Shutdown());
      EXPECT_NE(Cycle->Variable(), nullptr);
    }
  };
  Start();
  QObject::connect(Cycle.get(), &TCalibrationCycle::ShutdownDone, [&] { ++done; });
  RunUntilDone();
  ASSERT_TRUE(asked);
  EXPECT_EQ(done, 1);
  ASSERT_EQ(View.Outcomes, std::vector<TDeviceOutcome>{TDeviceOutcome::Ok});
  EXPECT_EQ(Sim->ReadWord(0x21C2), 6419);
  EXPECT_FALSE(Sim->EepromWritesEnabled());
  EXPECT_EQ(Cycle->Variable(), nullptr);
  EXPECT_EQ(Cycle->Driver(), nullptr);
  EXPECT_FALSE(Cycle->TimerEnabled());
}

// The write that turns the switch off is lost after the verified writes: the result
// says so, in its place between "OK!" and the closing rule.
TEST_F(CycleTest, SwitchLeftOnIsPartOfTheResult) {
  TSimOptions options;
  options.Faults.LosesSwitchOff = true;
  Start(options);
  RunUntilDone();
  ASSERT_EQ(View.Outcomes, std::vector<TDeviceOutcome>{TDeviceOutcome::SwitchLeftOn});
  EXPECT_EQ(Sim->ReadWord(0x21C2), 6419);
  EXPECT_TRUE(Sim->EepromWritesEnabled());
  EXPECT_TRUE(View.Has(SwitchOffFailedMessage, lcRed, TLogStyle::Bold));
  EXPECT_LT(View.IndexOf("OK!"), View.IndexOf(SwitchOffFailedMessage));
  EXPECT_LT(View.IndexOf(SwitchOffFailedMessage), View.IndexOf(std::string(32, '_')));
}

// A stop (Ctrl-C, a signal, the time limit) while a device is handled: before the
// first write nothing is sent; once the switch is on, the correction is finished and
// the switch turned off again, so that the device never keeps half a calibration.
TEST_F(CycleTest, StopEndsTheDeviceAtASafePoint) {
  struct TCase {
    const char* At;
    TDeviceOutcome Outcome;
    bool Written;
  };
  for (const TCase c : {TCase{"Connected!", TDeviceOutcome::Interrupted, false},
                        TCase{"Adapting..", TDeviceOutcome::Ok, true}}) {
    SCOPED_TRACE(c.At);
    TearDown();
    View = TRecordingView();
    View.OnLine = [&](const std::string& text) {
      if (text == c.At) RequestStop(TStopCause::Interrupt);
    };
    Start();
    RunUntilDone();
    ASSERT_EQ(View.Outcomes, std::vector<TDeviceOutcome>{c.Outcome});
    EXPECT_EQ(WroteTo(512), c.Written);
    EXPECT_EQ(Sim->ReadWord(0x21A8) == 6419, c.Written);
    EXPECT_EQ(Sim->ReadWord(0x21C2) == 6419, c.Written);
    EXPECT_FALSE(Sim->EepromWritesEnabled());
    EXPECT_FALSE(View.Has("Error occurred"));
    EXPECT_EQ(Cycle->Driver(), nullptr);
  }
}

// The time limit passes while a device that has gone silent is being handled: the
// retries end, the switch-off is tried, and its failure is shown.
TEST_F(CycleTest, TimeLimitHoldsWhileASilentDeviceIsHandled) {
  TSimOptions options;
  options.Faults.SilentAfterVersion = true;
  View.OnLine = [](const std::string& text) {
    if (text == "Connected!") SetStopTimeLimit(700);
  };
  Start(options);
  RunUntilDone();
  ASSERT_EQ(View.Outcomes, std::vector<TDeviceOutcome>{TDeviceOutcome::Interrupted});
  EXPECT_TRUE(StopRequested());
  EXPECT_TRUE(View.Has(SwitchOffFailedMessage, lcRed, TLogStyle::Bold));
  EXPECT_FALSE(View.Has("Error in writing EEPROM."));
}

TEST_F(CycleTest, SamePortAgainStartsOverOnTheSameLog) {
  Start();
  RunUntilDone();
  ASSERT_EQ(View.Outcomes.size(), 1u);
  const size_t before = View.Lines.size();
  Cycle->ChoosePortNumber(static_cast<uint32_t>(PortNumber));
  RunUntilDone();
  for (int i = 0; i < 40 && View.Outcomes.size() < 2; ++i) Cycle->TestConnection();
  ASSERT_EQ(View.Outcomes.size(), 2u);
  EXPECT_GT(View.Lines.size(), before);
  EXPECT_EQ(View.Outcomes[1], TDeviceOutcome::Ok);
}

}  // namespace
