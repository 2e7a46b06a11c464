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
    if (!updater.PrepareTarget(false)) return "the target could not be prepared";
    std::string error;
    updater.Connect(
        method, true, error, [](int) {}, "Inverter");
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
  updater->Buffer->LoadFromStream(*image, false, loadError);
  ASSERT_TRUE(loadError.isEmpty()) << loadError.toStdString();
  EXPECT_FALSE(updater->PrepareTarget(false));
  EXPECT_FALSE(updater->IsInverter);

  TLogLines* log = nullptr;
  auto destination = std::make_unique<TLogLines>();
  log = destination.get();
  auto previous = SetLogDestination(std::move(destination));
  std::string error;
  updater->Connect(0, true, error, {}, "BX2");  // the file's ConnectInfo picks method 1
  const std::string logged = log->Text();
  SetLogDestination(std::move(previous));
  ASSERT_EQ(error, "");
  EXPECT_EQ(updater->ConnectMethod, 1);
  EXPECT_EQ(updater->BootblockVersion, 113);
  EXPECT_NE(logged.find("Bare bootblock frame: 07 56 71 71"), std::string::npos) << logged;

  ASSERT_TRUE(updater->ProgramMain("BX2", true)) << updater->LastError;
  const TCodePart* main = updater->Buffer->PartAt(updater->Buffer->IndexOfPart("Main"));
  EXPECT_EQ(sim.Stats().LinesProgrammed, main->SendLineCount());
  EXPECT_EQ(sim.Stats().LinesRejected, 0);
  EXPECT_EQ(updater->Percent, 100);
  EXPECT_EQ(ProgressDepth(), 0);
  updater.reset();
  port.SetBreak(false);
  // Left alone, the boot loader starts the new firmware.
  EXPECT_TRUE(WaitFor([&] { return sim.InterfaceState() == TSimInterface::Bx2Working; }, 4000));
  EXPECT_EQ(sim.InterfaceVersion(), 1130132u);
}

// A firmware file for the inverter/charger: authorised, with data lines covering the
// data area and a version mark in its code; the new firmware calibrates offset 168 too.
std::unique_ptr<TCodePart> InverterPart(const QString& connectInfo) {
  TPartLayout layout;
  layout.CodeLines = 3;
  layout.Config = QByteArray(32, '\0');
  for (int offset = 168; offset <= 224; ++offset)
    layout.Config[offset / 8] |= char(1 << (offset % 8));
  layout.Entries = {"Version=2001250", "ConnectInfo=" + connectInfo, "Nonce=0011223344556677",
                    "KeyID=1"};
  auto part = MakePart(layout);
  part->Lines[part->PayloadStart() + 4 + 1].replace(10, 11, "VER=2001250");
  return part;
}

TEST_F(UpdaterSimTest, InverterThroughTheInterfaceKeepsItsCalibration) {
  struct TCase {
    const char* ConnectInfo;
    uint8_t LoaderVersion;
    int Method;
  };
  const TCase cases[] = {{":DXT", 113, 3}, {":R24M", 115, 2}, {":BX3", 115, 0}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.ConnectInfo);
    TSimOptions options;
    options.DeviceVersion = 2001203;
    options.DeviceBootLoaderVersion = c.LoaderVersion;
    options.DeviceBootLoaderFirmwareVersion = 114;  // restarts the device on command
    options.HeartbeatMs = 0;
    TSimulation sim(options);
    TRS232o port;
    ASSERT_TRUE(port.Open(static_cast<uint32_t>(sim.RegisterAsPort()), 1200, 'N', 1024, 1024));
    TThreadPtr<TUpdater> updater = TUpdater::Create(&port);
    updater->Buffer->Add(InverterPart(c.ConnectInfo));
    const std::string error = ConnectInverter(*updater, 5);
    ASSERT_EQ(error, "");
    EXPECT_EQ(updater->DeviceVersion, 2001203);
    EXPECT_EQ(updater->ConnectMethod, c.Method);
    EXPECT_EQ(updater->DeviceIdPrefix(), "SIM\x26");
    // The device's old calibration map was recorded before programming.
    EXPECT_EQ(GlobalSettings().ReadSetting("CalMap203"), updater->DeviceConfig);
    EXPECT_EQ(updater->DeviceConfig.size(), 32u);
    EXPECT_EQ(sim.ReadByte(0x21E1), 203);
    EXPECT_NE(sim.ReadByte(0x21E0) & 0x80, 0);

    ASSERT_TRUE(updater->ProgramMain("Inverter", true)) << updater->LastError;
    EXPECT_EQ(sim.Stats().DeviceLines, 3 + 3);  // the fourth data block stays in the device
    EXPECT_EQ(sim.DeviceVersion(), 2001250u);
    // Offset 168 is new: both targets hold round(1003 x 64 / 10), the pending bit is gone.
    EXPECT_EQ(sim.ReadWord(0x21A8), 6419);
    EXPECT_EQ(sim.ReadWord(0x21C2), 6419);
    EXPECT_EQ(sim.ReadByte(0x21E0) & 0x80, 0);
  }
}

// Methods that no ConnectInfo names, chosen by the caller: 4 (no identity or
// configuration query) and 6, whose probe at 115200 finds a binary boot loader
// (method 3) or a text one streaming at that rate (method 5).
TEST_F(UpdaterSimTest, MethodsChosenByTheCallerReachTheirBootLoaders) {
  struct TCase {
    int Method;
    bool TextLoader;
    int Reached;
  };
  const TCase cases[] = {{4, false, 4}, {6, false, 3}, {6, true, 5}};
  for (const TCase& c : cases) {
    SCOPED_TRACE("method " + std::to_string(c.Method) + (c.TextLoader ? " text" : " binary"));
    TSimOptions options;
    options.DeviceVersion = 2001203;
    options.DeviceBootLoaderVersion = 113;
    options.DeviceBootLoaderFirmwareVersion = 114;  // restarts the device on command
    options.DeviceBootLoaderText = c.TextLoader;
    options.DeviceBootLoaderBaud = 115200;
    options.HeartbeatMs = 0;
    TSimulation sim(options);
    TRS232o port;
    ASSERT_TRUE(port.Open(static_cast<uint32_t>(sim.RegisterAsPort()), 1200, 'N', 1024, 1024));
    TThreadPtr<TUpdater> updater = TUpdater::Create(&port);
    auto part = InverterPart(":unknown");                  // names no method: the caller's stands
    if (c.TextLoader) part->SetValue("Nonce", QString());  // text methods cannot authorise
    updater->Buffer->Add(std::move(part));
    const std::string error = ConnectInverter(*updater, c.Method);
    ASSERT_EQ(error, "");
    EXPECT_EQ(updater->ConnectMethod, c.Reached);
    EXPECT_EQ(updater->DeviceId.empty(), c.Reached == 4);  // method 4 asks the version only
    ASSERT_TRUE(updater->ProgramMain("Inverter", true)) << updater->LastError;
    EXPECT_EQ(sim.Stats().DeviceLines, 3 + 3);  // the fourth data block stays in the device
    EXPECT_EQ(sim.DeviceVersion(), 2001250u);
    EXPECT_FALSE(sim.DeviceInBootLoader());
  }
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
  updater->Buffer->Add(std::move(main));
  updater->Buffer->Add(std::move(bootPart));
  const std::string error = ConnectInverter(*updater, 5);
  ASSERT_EQ(error, "");
  EXPECT_EQ(updater->BootblockFirmwareVersion, 114);

  ASSERT_TRUE(updater->ProgramMain("Inverter", true)) << updater->LastError;
  EXPECT_EQ(updater->BootblockFirmwareVersion, 116);
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
  updater->Buffer->Add(std::move(part));
  const std::string error = ConnectInverter(*updater, 1);
  ASSERT_EQ(error, "");
  EXPECT_EQ(updater->ConnectMethod, 5);
  EXPECT_EQ(port.Baud(), 9600);
  EXPECT_TRUE(updater->EchoCheck);  // the bus echoes at the boot loader's rate
  EXPECT_EQ(updater->DeviceId.size(), 10u);
  ASSERT_TRUE(updater->ProgramMain("Inverter", true)) << updater->LastError;
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
  updater->Buffer->Add(InverterPart(":DXT"));
  const std::string error = ConnectInverter(*updater, 3);
  EXPECT_EQ(error, FetchText(UpdaterStringIds().IdError));
  EXPECT_EQ(updater->State, usUnsuitable);
  EXPECT_FALSE(sim.DeviceInBootLoader());
  EXPECT_EQ(sim.Stats().DeviceLines, 0);
}

}  // namespace

namespace {

// The boot loader never hears the fourth line: the update fails with the line's
// time-out, the device stays in its boot loader (a broken part starts no firmware),
// and a second run straight to the waiting boot loader programs the whole part.
TEST_F(UpdaterSimTest, ALineLostHalfWayLeavesTheBootLoaderForASecondRun) {
  struct TCase {
    const char* ConnectInfo;
    bool TextLoader;
  };
  const TCase cases[] = {{":DXT", false}, {":OldFashioned", true}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.ConnectInfo);
    TSimOptions options;
    options.DeviceVersion = 2001203;
    options.DeviceBootLoaderFirmwareVersion = 114;  // restarts the device on command
    options.DeviceBootLoaderText = c.TextLoader;
    options.HeartbeatMs = 0;
    options.Faults.LoseBootLine = 4;
    TSimulation sim(options);
    TRS232o port;
    ASSERT_TRUE(port.Open(static_cast<uint32_t>(sim.RegisterAsPort()), 1200, 'N', 1024, 1024));
    const auto run = [&](std::string& error, bool direct) {
      TThreadPtr<TUpdater> updater = TUpdater::Create(&port);
      updater->LineReplyTimeoutMs = 400;
      auto part = InverterPart(c.ConnectInfo);
      if (c.TextLoader) part->SetValue("Nonce", QString());  // text methods cannot authorise
      updater->Buffer->Add(std::move(part));
      updater->PrepareTarget(direct);
      updater->Connect(
          3, true, error, [](int) {}, "Inverter");
      const bool ok = error.empty() && updater->ProgramMain("Inverter", true);
      if (error.empty()) error = updater->LastError;
      updater.reset();
      port.SetBreak(false);
      return ok;
    };
    std::string error;
    EXPECT_FALSE(run(error, false));
    EXPECT_EQ(error, FetchText(UpdaterStringIds().NoResponse));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // longer than its silence rule
    EXPECT_TRUE(sim.DeviceInBootLoader());
    EXPECT_EQ(sim.DeviceVersion(), 2001203u);

    error.clear();
    EXPECT_TRUE(run(error, true)) << error;
    EXPECT_EQ(sim.DeviceVersion(), 2001250u);
    EXPECT_FALSE(sim.DeviceInBootLoader());
    EXPECT_EQ(sim.Stats().DeviceLines, 3 + 4 + 3);  // 3 before the loss, then the whole part
  }
}

}  // namespace
