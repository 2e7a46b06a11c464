// Whole updates against the simulated equipment: the BX2 interface's own boot
// loader (the text method the interface refresh uses), and an inverter/charger
// reached through the interface, with its calibration carried over the update.
#include <gtest/gtest.h>

#include "firmware/EmbeddedImage.h"
#include "sim/Simulator.h"
#include "tests/firmware/UpdaterTestSupport.h"

namespace {

class UpdaterSimTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartUpdaterUnits(); }
  // Prepares the updater for its parts and connects to the inverter by `method`;
  // the connection's error text, empty when connected.
  static std::string ConnectInverter(TUpdater& updater, int method) {
    if (!updater.PrepareTarget(nullptr, false)) return "the target could not be prepared";
    std::string error;
    error = updater
                .Connect(
                    method, true, [](int) {}, "Inverter")
                .Text();
    return error;
  }
  TDialogScope Dialogs;
};

TEST_F(UpdaterSimTest, ProgramsTheEmbeddedInterfaceImageThroughTheBx2BootLoader) {
  TSimOptions options;
  options.Interface = TSimInterface::Bx2BootLoader;
  options.InterfaceVersion = 1130120;
  options.HeartbeatMs = 0;
  TSimulation sim(options);
  TRS232o port;
  ASSERT_TRUE(port.Open(static_cast<uint32_t>(sim.RegisterAsPort()), 2400, 'N', 1024, 1024));
  TThreadPtr<TUpdater> updater = TUpdater::Create(&port);
  const auto image = OpenEmbeddedInterfaceImage();
  QString loadError;
  TAccess::File(*updater).LoadFromStream(*image, false, loadError);
  ASSERT_TRUE(loadError.isEmpty()) << loadError.toStdString();
  EXPECT_FALSE(updater->PrepareTarget(nullptr, false));
  EXPECT_FALSE(TAccess::IsInverter(*updater));

  TLogLines* log = nullptr;
  auto destination = std::make_unique<TLogLines>();
  log = destination.get();
  auto previous = SetLogDestination(std::move(destination));
  std::string error;
  error = updater->Connect(0, true, {}, "BX2").Text();  // the file's ConnectInfo picks method 1
  const std::string logged = log->Text();
  SetLogDestination(std::move(previous));
  ASSERT_EQ(error, "");
  EXPECT_EQ(updater->BootLoader().MethodNumber(), 1);
  EXPECT_EQ(updater->BootLoader().Facts().BootblockVersion, 113);
  EXPECT_NE(logged.find("Bare bootblock frame: 07 56 71 71"), std::string::npos) << logged;

  const TResult programmed = updater->ProgramMain("BX2", true);
  ASSERT_TRUE(programmed) << programmed.Text();
  const TCodePart* main =
      TAccess::File(*updater).PartAt(TAccess::File(*updater).IndexOfPart("Main"));
  EXPECT_EQ(sim.Stats().LinesProgrammed, main->SendLineCount());
  EXPECT_EQ(sim.Stats().LinesRejected, 0);
  EXPECT_EQ(updater->Percent(), 100);
  EXPECT_EQ(ProgressDepth(), 0);
  updater.reset();
  port.SetBreak(false);
  // Left alone, the boot loader starts the new firmware.
  EXPECT_TRUE(WaitUntil([&] { return sim.InterfaceState() == TSimInterface::Bx2Working; }));
  EXPECT_EQ(sim.InterfaceVersion(), 1130132u);
}

// Method 1, the BX2's own boot loader: a line lost half way leaves the interface
// badly programmed (its boot loader streams again), and a second run repairs it.
TEST_F(UpdaterSimTest, Bx2LineLostHalfWayThenASecondRunRepairsIt) {
  TSimOptions options;
  options.Interface = TSimInterface::Bx2BootLoader;
  options.InterfaceVersion = 1130120;
  options.HeartbeatMs = 0;
  options.Faults.LoseBootLine = 4;
  TSimulation sim(options);
  TRS232o port;
  ASSERT_TRUE(port.Open(static_cast<uint32_t>(sim.RegisterAsPort()), 2400, 'N', 1024, 1024));
  const auto run = [&port](std::string& error) {
    TThreadPtr<TUpdater> updater = TUpdater::Create(&port);
    TAccess::Streamer(*updater).SetLineReplyTimeout(400);
    const auto image = OpenEmbeddedInterfaceImage();
    QString loadError;
    TAccess::File(*updater).LoadFromStream(*image, false, loadError);
    updater->PrepareTarget(nullptr, false);
    error = updater
                ->Connect(
                    0, true, [](int) {}, "BX2")
                .Text();
    bool ok = false;
    if (error.empty()) {
      const TResult programmed = updater->ProgramMain("BX2", true);
      ok = programmed.Ok();
      error = programmed.Text();
    }
    EXPECT_EQ(updater->BootLoader().MethodNumber(), 1);
    updater.reset();
    port.SetBreak(false);
    return ok;
  };
  std::string error;
  EXPECT_FALSE(run(error));
  EXPECT_EQ(error, FetchText(UpdaterStringIds().NoResponse));
  EXPECT_TRUE(WaitUntil([&] { return sim.InterfaceState() == TSimInterface::Bx2BadlyProgrammed; }));

  error.clear();
  EXPECT_TRUE(run(error)) << error;
  EXPECT_TRUE(WaitUntil([&] { return sim.InterfaceState() == TSimInterface::Bx2Working; }));
  EXPECT_EQ(sim.InterfaceVersion(), 1130132u);
}

// A file that needs a newer boot loader than the device has, and carries one: the
// replacement goes first (the device's data lines ahead of it), the new boot loader
// announces itself with AA AA and is answered, then the "Main" part follows.
TEST_F(UpdaterSimTest, BootLoaderReplacementThenTheMainPart) {
  TSimOptions options;
  options.DeviceVersion = 2001203;
  options.DeviceBootLoaderVersion = 113;
  options.DeviceBootLoaderFirmwareVersion = 114;  // restarts the device on command
  options.HeartbeatMs = 0;
  TSimulation sim(options);
  TRS232o port;
  ASSERT_TRUE(port.Open(static_cast<uint32_t>(sim.RegisterAsPort()), 1200, 'N', 1024, 1024));
  TThreadPtr<TUpdater> updater = TUpdater::Create(&port);
  auto main = InverterPart(":DXT");
  main->SetValue("MinBFV", "116");
  TPartLayout boot;
  boot.Name = "Bootblock";
  boot.DataLines = 0;
  boot.CodeLines = 2;
  boot.Entries = {"Nonce=0011223344556677", "KeyID=1"};
  auto bootPart = MakePart(boot);
  bootPart->Lines[bootPart->PayloadStart()].replace(10, 7, "BFV=116");
  TAccess::File(*updater).Add(std::move(main));
  TAccess::File(*updater).Add(std::move(bootPart));
  const std::string error = ConnectInverter(*updater, 5);
  ASSERT_EQ(error, "");
  EXPECT_EQ(updater->BootLoader().Facts().BootblockFirmwareVersion, 114);

  const TResult programmed = updater->ProgramMain("Inverter", true);
  ASSERT_TRUE(programmed) << programmed.Text();
  EXPECT_EQ(updater->BootLoader().Facts().BootblockFirmwareVersion, 116);
  // Replacement: 3 data lines (the fourth stays in the device) and 2 code lines;
  // then "Main": 3 data and 3 code lines.
  EXPECT_EQ(sim.Stats().DeviceLines, 5 + 6);
  EXPECT_EQ(sim.DeviceVersion(), 2001250u);
  EXPECT_FALSE(sim.DeviceInBootLoader());
  EXPECT_EQ(sim.ReadWord(0x21A8), 6419);  // the calibration carried over as well
  EXPECT_TRUE(Dialogs.Handler->Shown().empty());
}

TEST_F(UpdaterSimTest, TextBootLoaderIsFoundByTheBaudHunt) {
  TSimOptions options;
  options.DeviceVersion = 1901205;  // minor 200 or more: the newer EEPROM switch
  options.DeviceBootLoaderText = true;
  options.DeviceBootLoaderBaud = 9600;
  options.DeviceBootLoaderFirmwareVersion = 114;
  options.HeartbeatMs = 0;
  TSimulation sim(options);
  TRS232o port;
  ASSERT_TRUE(port.Open(static_cast<uint32_t>(sim.RegisterAsPort()), 1200, 'N', 1024, 1024));
  TThreadPtr<TUpdater> updater = TUpdater::Create(&port);
  auto part = InverterPart(":OldFashioned");
  part->SetValue("Nonce", QString());  // text methods cannot authorise
  part->SetValue("Version", "1901190");
  part->Lines[part->PayloadStart() + 5].replace(10, 11, "VER=1901190");
  TAccess::File(*updater).Add(std::move(part));
  const std::string error = ConnectInverter(*updater, 1);
  ASSERT_EQ(error, "");
  EXPECT_EQ(updater->BootLoader().MethodNumber(), 5);
  EXPECT_EQ(port.Baud(), 9600);
  EXPECT_TRUE(updater->BootLoader().EchoCheck());  // the bus echoes at the boot loader's rate
  EXPECT_EQ(updater->BootLoader().Facts().DeviceId.size(), 10u);
  const TResult programmed = updater->ProgramMain("Inverter", true);
  ASSERT_TRUE(programmed) << programmed.Text();
  EXPECT_EQ(sim.Stats().DeviceLines, 3 + 3);
  EXPECT_EQ(sim.DeviceVersion(), 1901190u);
  EXPECT_EQ(sim.ReadWord(0x21A8), 6419);
}

TEST_F(UpdaterSimTest, AnotherDeviceFamilyIsRefusedBeforeProgramming) {
  TSimOptions options;  // the device runs family 26
  options.HeartbeatMs = 0;
  TSimulation sim(options);
  TRS232o port;
  ASSERT_TRUE(port.Open(static_cast<uint32_t>(sim.RegisterAsPort()), 1200, 'N', 1024, 1024));
  TThreadPtr<TUpdater> updater = TUpdater::Create(&port);
  TAccess::File(*updater).Add(InverterPart(":DXT"));
  const std::string error = ConnectInverter(*updater, 3);
  EXPECT_EQ(error, FetchText(UpdaterStringIds().IdError));
  EXPECT_EQ(updater->State(), TUpdateState::Unsuitable);
  EXPECT_FALSE(sim.DeviceInBootLoader());
  EXPECT_EQ(sim.Stats().DeviceLines, 0);
}

}  // namespace
