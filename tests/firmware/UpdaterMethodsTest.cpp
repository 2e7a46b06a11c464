// Every boot loader method of an inverter/charger reached through the interface,
// against the simulated device, in one table: a whole part programmed with the
// calibration carried over, a line lost half way followed by a second run, and a
// boot loader that refuses the authorisation frame.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/Simulator.h"
#include "tests/firmware/UpdaterTestSupport.h"

namespace {

struct TMethodCase {
  const char* Name;
  int Method;               // the caller's method; the file's ConnectInfo may name another
  const char* ConnectInfo;  // ":unknown" names no method
  bool TextLoader;
  int LoaderBaud;  // the text boot loader's stream (binary ones answer at either rate)
  uint8_t LoaderVersion;
  int Reached;  // the method the connection ends with
};

void PrintTo(const TMethodCase& c, std::ostream* out) {
  *out << c.Name;
}

const TMethodCase MethodCases[] = {
    {"method0", 5, ":BX3", false, 115200, 115, 0},
    {"method2", 5, ":R24M", false, 19200, 115, 2},
    {"method3", 5, ":DXT", false, 19200, 113, 3},
    {"method3FoundAs2", 3, ":unknown", false, 19200, 115, 2},
    {"method4", 4, ":unknown", false, 19200, 113, 4},
    {"method5", 1, ":OldFashioned", true, 57600, 113, 5},
    {"method6To3", 6, ":unknown", false, 19200, 113, 3},
    {"method6To5", 6, ":unknown", true, 115200, 113, 5},
};

constexpr uint32_t OldVersion = 2001143;  // its map's default agrees with the device
constexpr uint32_t NewVersion = 2001250;
constexpr uint16_t ConvertedA = 6419;  // round(1003 x 64 / 10), the device's 0x21C4 converted

class UpdaterMethodTest : public ::testing::TestWithParam<TMethodCase> {
 protected:
  static void SetUpTestSuite() { StartUpdaterUnits(); }

  void StartSimulation(const TSimFaults& faults = {}) {
    const TMethodCase& c = GetParam();
    TSimOptions options;
    options.DeviceVersion = OldVersion;
    options.DeviceBootLoaderVersion = c.LoaderVersion;
    options.DeviceBootLoaderFirmwareVersion = 114;  // restarts the device on command
    options.DeviceBootLoaderText = c.TextLoader;
    options.DeviceBootLoaderBaud = c.LoaderBaud;
    options.HeartbeatMs = 0;
    options.Faults = faults;
    Sim = std::make_unique<TSimulation>(options);
    ASSERT_TRUE(Port.Open(static_cast<uint32_t>(Sim->RegisterAsPort()), 1200, 'N', 1024, 1024));
  }

  // An updater for the inverter's new firmware (authorised unless the boot loader
  // is a text one, which cannot authorise), connected through the interface.
  TThreadPtr<TUpdater> Connected(std::string& error) {
    const TMethodCase& c = GetParam();
    TThreadPtr<TUpdater> updater = TUpdater::Create(&Port);
    TAccess::Streamer(*updater).SetLineReplyTimeout(400);
    auto part = InverterPart(c.ConnectInfo);
    if (c.TextLoader) part->SetValue("Nonce", QString());
    TAccess::File(*updater).Add(std::move(part));
    if (!updater->PrepareTarget(nullptr, false)) {
      error = "the target is not an inverter/charger";
      return updater;
    }
    error = updater
                ->Connect(
                    c.Method, true, [](int) {}, "Inverter")
                .Text();
    return updater;
  }

  // Sends the "Main" part and post-processes with a silent step callback (the
  // device's start-up wait is the progress window's, not this test's).
  static std::string ProgramAndCarryOver(TUpdater& updater) {
    if (!updater.ProgramMain("Inverter", true, [](int, TUpdateState) {}))
      return "not started: " + updater.PartFailure().Text();
    updater.WaitWorkerPaused();
    if (updater.State() != TUpdateState::Finished) return updater.PartFailure().Text();
    return updater.PostProcess("Inverter", [](int) {}).Text();
  }

  // The updater is gone and the line released, as the console leaves it.
  void Finish(TThreadPtr<TUpdater>& updater) {
    updater.reset();
    Port.SetBreak(false);
  }

  void ExpectNewFirmwareWithItsCalibration() {
    EXPECT_EQ(Sim->DeviceVersion(), NewVersion);
    EXPECT_FALSE(Sim->DeviceInBootLoader());
    EXPECT_EQ(Sim->ReadWord(0x21A8), ConvertedA);
    EXPECT_EQ(Sim->ReadWord(0x21C2), ConvertedA);
    EXPECT_EQ(Sim->ReadByte(0x21E0) & 0x80, 0);  // nothing left pending
  }

  TDialogScope Dialogs;
  std::unique_ptr<TSimulation> Sim;
  TRS232o Port;
};

TEST_P(UpdaterMethodTest, WholePartCarriesTheCalibrationOver) {
  ASSERT_NO_FATAL_FAILURE(StartSimulation());
  std::string error;
  TThreadPtr<TUpdater> updater = Connected(error);
  ASSERT_EQ(error, "");
  EXPECT_EQ(updater->BootLoader().MethodNumber(), GetParam().Reached);
  EXPECT_EQ(TAccess::DeviceVersion(*updater), static_cast<int32_t>(OldVersion));
  EXPECT_EQ(updater->BootLoader().Facts().DeviceId.empty(),
            GetParam().Reached == 4);  // method 4 asks the version only
  // The device's old calibration map was recorded before programming.
  EXPECT_EQ(Sim->ReadByte(0x21E1), OldVersion % 1000);
  EXPECT_NE(Sim->ReadByte(0x21E0) & 0x80, 0);
  if (GetParam().Reached != 4) {
    EXPECT_EQ(GlobalSettings().ReadSetting("CalMap143"),
              updater->BootLoader().Facts().DeviceConfig);
  }

  EXPECT_EQ(ProgramAndCarryOver(*updater), "");
  EXPECT_EQ(updater->Percent(), 100);
  EXPECT_EQ(Sim->Stats().DeviceLines, 3 + 3);  // the fourth data block stays in the device
  ExpectNewFirmwareWithItsCalibration();
}

// The boot loader never hears the fourth line: the line's time-out is reported, the
// device stays in its boot loader (a broken part starts no firmware), and a second
// run through the interface programs the whole part.
TEST_P(UpdaterMethodTest, LineLostHalfWayThenASecondRunSucceeds) {
  TSimFaults faults;
  faults.LoseBootLine = 4;
  ASSERT_NO_FATAL_FAILURE(StartSimulation(faults));
  std::string error;
  TThreadPtr<TUpdater> updater = Connected(error);
  ASSERT_EQ(error, "");
  const TResult programmed = updater->ProgramMain("Inverter", true);
  EXPECT_FALSE(programmed);
  EXPECT_EQ(programmed.Text(), FetchText(UpdaterStringIds().NoResponse));
  EXPECT_EQ(programmed.Fault(), TFault::NoDevice);  // the console's time-out status
  EXPECT_EQ(updater->State(), TUpdateState::CommError);
  EXPECT_LT(updater->Percent(), 100);
  Finish(updater);
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // past its silence rule
  EXPECT_TRUE(Sim->DeviceInBootLoader());
  EXPECT_EQ(Sim->DeviceVersion(), OldVersion);

  updater = Connected(error);
  ASSERT_EQ(error, "");
  EXPECT_EQ(updater->BootLoader().MethodNumber(), GetParam().Reached);
  EXPECT_EQ(ProgramAndCarryOver(*updater), "");
  Finish(updater);
  EXPECT_EQ(Sim->Stats().DeviceLines, 3 + 6);  // 3 before the loss, then the whole part
  ExpectNewFirmwareWithItsCalibration();
}

// Methods with an authorisation (the binary ones): a boot loader that refuses it
// ends the update as a failure before any line, the device left in its boot loader.
class UpdaterAuthorisingMethodTest : public UpdaterMethodTest {};

TEST_P(UpdaterAuthorisingMethodTest, RefusedAuthorisationIsAFailure) {
  TSimFaults faults;
  faults.RefuseAuthorisation = true;
  ASSERT_NO_FATAL_FAILURE(StartSimulation(faults));
  std::string error;
  TThreadPtr<TUpdater> updater = Connected(error);
  ASSERT_EQ(error, "");
  const TResult programmed = updater->ProgramMain("Inverter", true);
  EXPECT_FALSE(programmed);
  EXPECT_EQ(programmed.Text(), FetchText(UpdaterStringIds().GeneralError));
  EXPECT_NE(updater->State(), TUpdateState::Finished);
  EXPECT_LT(updater->Percent(), 100);
  Finish(updater);
  EXPECT_EQ(Sim->Stats().DeviceLines, 0);
  EXPECT_TRUE(Sim->DeviceInBootLoader());
  EXPECT_EQ(Sim->DeviceVersion(), OldVersion);
}

std::string CaseName(const ::testing::TestParamInfo<TMethodCase>& test) {
  return test.param.Name;
}

std::vector<TMethodCase> BinaryMethodCases() {
  std::vector<TMethodCase> binary;
  for (const TMethodCase& c : MethodCases)
    if (!c.TextLoader) binary.push_back(c);
  return binary;
}

INSTANTIATE_TEST_SUITE_P(EveryMethod, UpdaterMethodTest, ::testing::ValuesIn(MethodCases),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(EveryMethod, UpdaterAuthorisingMethodTest,
                         ::testing::ValuesIn(BinaryMethodCases()), CaseName);

}  // namespace
