// Calibration carry-over over whole updates against the simulated equipment:
// an inverter/charger of family 19 reached through the BX2 (marked before the
// programming, converted in the running device afterwards), and a family 26 file
// whose boot loader's data area is read, converted and written back with the
// data lines.
#include <gtest/gtest.h>

#include <map>

#include "firmware/CarryOver.h"
#include "link/BX2Driver.h"
#include "link/Detection.h"
#include "sim/Simulator.h"
#include "support/Tools.h"
#include "tests/firmware/UpdaterTestSupport.h"

namespace {

constexpr int NewVersion19 = 1901250;
constexpr int OldVersion19 = 1901202;  // minor 202: the default map already covers 168..224
constexpr uint16_t Status = 0x21E0;
constexpr uint16_t MapNumber = 0x21E1;
constexpr uint16_t TargetA1 = 0x21A8;
constexpr uint16_t TargetA2 = 0x21C2;
constexpr uint16_t ConvertedA = 6419;  // round(1003 x 64 / 10)

// Configuration bits for the data-area offsets first..last.
QByteArray ConfigCovering(int first, int last) {
  QByteArray config(32, '\0');
  for (int offset = first; offset <= last; ++offset)
    config[offset / 8] = static_cast<char>(config[offset / 8] | (1 << (offset % 8)));
  return config;
}

// An authorised firmware file whose code carries its version mark, so that the
// simulated device runs the new version after the programming.
std::unique_ptr<TCodePart> FirmwarePart(int version, const QString& connectInfo,
                                        const QByteArray& config) {
  TPartLayout layout;
  layout.Config = config;
  layout.Entries = {"Version=" + QString::number(version), "ConnectInfo=" + connectInfo,
                    "Nonce=0011223344556677", "KeyID=1"};
  auto part = MakePart(layout);
  part->Lines[part->PayloadStart() + layout.DataLines + 1].replace(
      10, 11, "VER=" + QByteArray::number(version));
  return part;
}

// Non-volatile words at or above `from` that differ from their start-up value.
std::map<uint16_t, uint16_t> ChangedFrom(const TSimulation& sim, uint16_t from) {
  std::map<uint16_t, uint16_t> changed;
  for (const auto& [address, value] : sim.ChangedWords())
    if (address >= from) changed[address] = value;
  return changed;
}

bool WroteTo(const TSimulation& sim, uint16_t address) {
  for (const TSimMemoryWrite& write : sim.Writes())
    if (write.Address == address) return true;
  return false;
}

class CarryOverSimTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartUpdaterUnits(); }

  void SetUp() override {
    // Each test starts with no calibration maps on record.
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ReplaceSettings("Kalmeon Energy Test", "test_carryover_sim_" + name);
  }

  void TearDown() override { Release(); }

  // Stops the updater, gives the line back and closes the port.
  void Release() {
    Updater.reset();
    if (Port.PortNumber() != 0) Port.SetBreak(false);
    Port.Close();
  }

  void StartSimulation(const TSimOptions& options) {
    Release();
    Sim.reset();
    Sim = std::make_unique<TSimulation>(options);
    ASSERT_TRUE(Port.Open(static_cast<uint32_t>(Sim->RegisterAsPort()), 1200, 'N', 1024, 1024));
  }

  void CreateUpdater(std::unique_ptr<TCodePart> part) {
    Updater = TUpdater::Create(&Port);
    TAccess::File(*Updater).Add(std::move(part));
  }

  void ConnectUpdater() {
    std::string error;
    error = Updater
                ->Connect(
                    0, true, [](int) {}, "Device")
                .Text();
    ASSERT_EQ(error, "");
  }

  TDialogScope Dialogs;
  std::unique_ptr<TSimulation> Sim;
  TRS232o Port;
  TThreadPtr<TUpdater> Updater;
};

// ---- through the interface (family 19) ---------------------------------------------

class InterfaceCarryOverTest : public CarryOverSimTest {
 protected:
  // An inverter/charger running OldVersion19; `recordedMap` >= 0 leaves it marked by
  // an earlier update that did not finish, with that map number.
  void StartInverter(int recordedMap) {
    TSimOptions options;
    options.DeviceVersion = OldVersion19;
    options.DeviceBootLoaderVersion = 113;
    options.DeviceBootLoaderFirmwareVersion = 114;  // restarts the device on command
    options.HeartbeatMs = 0;
    options.CalibrationSource = Source;
    ASSERT_NO_FATAL_FAILURE(StartSimulation(options));
    if (recordedMap >= 0) {
      Sim->WriteByte(Status, 0x80);
      Sim->WriteByte(MapNumber, static_cast<uint8_t>(recordedMap));
    }
    // The new firmware calibrates 168..224; the device's boot loader reports 176..224.
    CreateUpdater(FirmwarePart(NewVersion19, ":DXT", ConfigCovering(168, 224)));
    ASSERT_TRUE(Updater->PrepareTarget(nullptr, false));
    ASSERT_NO_FATAL_FAILURE(ConnectUpdater());
    ASSERT_EQ(TAccess::DeviceVersion(*Updater), OldVersion19);
    ASSERT_TRUE(Sim->DeviceInBootLoader());
  }

  uint16_t Source = 1003;  // the word at 0x21C4

  // The new firmware is in and running, whatever the carry-over made of it.
  void ExpectProgrammed() {
    EXPECT_EQ(Sim->Stats().DeviceLines, 3 + 3);  // the fourth data block stays in the device
    EXPECT_EQ(Sim->DeviceVersion(), static_cast<uint32_t>(NewVersion19));
    EXPECT_FALSE(Sim->DeviceInBootLoader());
  }
};

TEST_F(InterfaceCarryOverTest, StoredMapRecordedBeforeProgrammingDrivesTheConversion) {
  ASSERT_NO_FATAL_FAILURE(StartInverter(-1));
  // Marked before the reset: map number, pending bit, and the boot loader's map on record.
  EXPECT_EQ(Sim->ReadByte(MapNumber), 202);
  EXPECT_EQ(Sim->ReadByte(Status), 0x80);
  EXPECT_EQ(GlobalSettings().ReadSetting("CalMap202"), Str(ConfigCovering(176, 224)));

  const TResult programmed = Updater->ProgramMain("Device", true);
  ASSERT_TRUE(programmed) << programmed.Text();
  EXPECT_EQ(Updater->State(), TUpdateState::Finished);
  ExpectProgrammed();
  // The stored map lacks offset 168 (the default map for 202 would not), so
  // conversion A ran; the pending bit is cleared and nothing else in the kept block moved.
  EXPECT_EQ(Sim->ReadWord(TargetA1), ConvertedA);
  const std::map<uint16_t, uint16_t> expected = {{TargetA2, ConvertedA}, {Status, 0xCA00}};
  EXPECT_EQ(ChangedFrom(*Sim, 0x21C0), expected);
  EXPECT_TRUE(Dialogs.Handler->Shown().empty());
}

TEST_F(InterfaceCarryOverTest, DefaultMapStandsInForAMapNotOnRecord) {
  // Marked by an earlier attempt under firmware minor 105, whose map was never stored
  // here: the default map (177..224) makes 168 and 176 new, so both conversions run.
  ASSERT_NO_FATAL_FAILURE(StartInverter(105));
  EXPECT_EQ(Sim->ReadByte(MapNumber), 105);  // an existing mark is kept
  EXPECT_EQ(GlobalSettings().ReadSetting("CalMap105"), "");

  const TResult programmed = Updater->ProgramMain("Device", true);
  ASSERT_TRUE(programmed) << programmed.Text();
  ExpectProgrammed();
  EXPECT_FALSE(WroteTo(*Sim, MapNumber));
  EXPECT_EQ(Sim->ReadWord(TargetA1), ConvertedA);
  // Conversion B: the scaled base words (the first doubled), then their products / 20000.
  const std::map<uint16_t, uint16_t> expected = {
      {TargetA2, ConvertedA}, {0x21C6, 0xC38C}, {0x21C8, 0xC1C8}, {0x21CA, 0xC1CA},
      {0x21CC, 0xC1CC},       {0x21CE, 0xC1CE}, {0x21D0, 0xC00B}, {0x21D2, 0xC00B},
      {0x21D4, 0xC015},       {0x21D6, 0xC015}, {0x21D8, 0xC015}, {Status, 0x6900}};
  EXPECT_EQ(ChangedFrom(*Sim, 0x21C0), expected);
}

TEST_F(InterfaceCarryOverTest, MissingMapFailsAndLeavesTheMarkForARetry) {
  ASSERT_NO_FATAL_FAILURE(StartInverter(160));  // neither stored nor built in
  const TResult programmed = Updater->ProgramMain("Device", true);
  EXPECT_EQ(programmed.Fault(), TFault::Unsuitable);
  // The recorded map number and the running firmware's minor.
  EXPECT_EQ(programmed.Text(),
            AdjustLineBreaks("Info (160/250) missing!\n\nPlease contact Kalmeon Energy!"));
  EXPECT_EQ(Updater->State(), TUpdateState::Unsuitable);
  ExpectProgrammed();
  // No conversion ran; the device still asks for a carry-over with the same map.
  EXPECT_EQ(Sim->ReadWord(TargetA1), 0x1212);                        // the file's byte
  const std::map<uint16_t, uint16_t> expected = {{Status, 0xA080}};  // pending, map 160
  EXPECT_EQ(ChangedFrom(*Sim, 0x21C0), expected);
  EXPECT_FALSE(WroteTo(*Sim, MapNumber));
  EXPECT_FALSE(WroteTo(*Sim, Status));
}

TEST_F(InterfaceCarryOverTest, ASourceAboveAWordFailsBeforeWritingTheTargets) {
  Source = 10240;  // x 6.4 = 65536
  ASSERT_NO_FATAL_FAILURE(StartInverter(-1));
  const TResult programmed = Updater->ProgramMain("Device", true);
  EXPECT_FALSE(programmed);
  EXPECT_EQ(programmed.Text(), ScaleDoesNotFit);
  EXPECT_EQ(Updater->State(), TUpdateState::CommError);
  ExpectProgrammed();
  EXPECT_FALSE(WroteTo(*Sim, TargetA1));
  EXPECT_FALSE(WroteTo(*Sim, TargetA2));
  EXPECT_EQ(Sim->ReadByte(Status), 0x80);  // still pending for a later attempt
}

TEST_F(InterfaceCarryOverTest, PostProcessingWithoutACallbackWaitsWithItsOwnSteps) {
  TSimOptions options;
  options.DeviceVersion = OldVersion19;
  options.DeviceBootLoaderVersion = 113;
  options.DeviceBootLoaderFirmwareVersion = 114;
  options.HeartbeatMs = 0;
  ASSERT_NO_FATAL_FAILURE(StartSimulation(options));
  CreateUpdater(FirmwarePart(NewVersion19, ":DXT", ConfigCovering(168, 224)));
  ASSERT_TRUE(Updater->PrepareTarget(nullptr, false));
  int connectSteps = 0;
  std::string error;
  error = Updater
              ->Connect(
                  0, true, [&connectSteps](int) { ++connectSteps; }, "Device")
              .Text();
  ASSERT_EQ(error, "");
  const int stepsAfterConnect = connectSteps;
  ASSERT_GT(stepsAfterConnect, 0);

  const auto start = std::chrono::steady_clock::now();
  const TResult programmed = Updater->ProgramMain("Device", true);
  ASSERT_TRUE(programmed) << programmed.Text();
  // The connection's callback is not called again, and the device's four seconds
  // of start-up are waited for.
  EXPECT_EQ(connectSteps, stepsAfterConnect);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4000));
  EXPECT_EQ(Sim->ReadWord(TargetA1), ConvertedA);
}

// ---- through the boot loader (family 26) ---------------------------------------------

// Puts the device into its boot loader with the line passed through, as a service
// technician's tool does before talking to the boot loader directly.
void ResetDeviceIntoBootLoader(TRS232o& port) {
  TThreadPtr<TBusDriver> driver = DetectInterfaceBorrowed(port, nullptr, 0, DefaultDetectFlags);
  auto* bx2 = dynamic_cast<TBX2Driver*>(driver.get());
  ASSERT_NE(bx2, nullptr);
  bx2->SBlock[sbFlag7] = 1;
  ASSERT_TRUE(bx2->SendState(true, false));
  std::string request(1, '\x03');
  ASSERT_TRUE(bx2->AddressedQuery(0, request, -1, -1));
  ASSERT_TRUE(bx2->WaitSent());
}

// The simulated device's data area at start-up: word 0x0100 + offset, the source of
// conversion A at C4, the carry-over status 00 and map number FF.
uint8_t DeviceStartByte(int offset) {
  if (offset == 0xC4) return 0xEB;  // 1003
  if (offset == 0xC5) return 0x03;
  if (offset == 0xE0) return 0x00;
  if (offset == 0xE1) return 0xFF;
  const int word = 0x0100 + (offset & ~1);
  return static_cast<uint8_t>(offset % 2 == 0 ? word & 0xFF : word >> 8);
}

TEST_F(CarryOverSimTest, BootLoaderSourceAboveAWordStopsBeforeProgramming) {
  TSimOptions options;
  options.DeviceVersion = 2601203;
  options.DeviceBootLoaderVersion = 115;
  options.DeviceBootLoaderFirmwareVersion = 115;
  options.HeartbeatMs = 0;
  options.CalibrationSource = 10240;  // x 6.4 = 65536: its low 16 bits would be 0
  ASSERT_NO_FATAL_FAILURE(StartSimulation(options));
  ASSERT_NO_FATAL_FAILURE(ResetDeviceIntoBootLoader(Port));
  CreateUpdater(FirmwarePart(2601250, ":BX3", ConfigCovering(168, 224)));
  EXPECT_FALSE(Updater->PrepareTarget(nullptr, false));
  std::string error;
  error = Updater
              ->Connect(
                  0, true, [](int) {}, "Device")
              .Text();
  EXPECT_EQ(error, ScaleDoesNotFit);
  EXPECT_EQ(Updater->State(), TUpdateState::CommError);
  EXPECT_EQ(Sim->Stats().DeviceLines, 0);
  EXPECT_TRUE(Sim->DeviceInBootLoader());
  EXPECT_EQ(Sim->ReadWord(TargetA1), 0x01A8);  // its start-up value
}

TEST_F(CarryOverSimTest, BootLoaderDataAreaKeepsTheDeviceCalibration) {
  struct TCase {
    const char* ConnectInfo;
    int Method;
    int FirstCalibration;  // of the new firmware; the device calibrates 176..224
  };
  const TCase cases[] = {{":BX3", 0, 168}, {":R24M", 2, 168}, {":BX3", 0, 176}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.ConnectInfo) + " from " + std::to_string(c.FirstCalibration));
    TSimOptions options;
    options.DeviceVersion = 2601203;
    options.DeviceBootLoaderVersion = 115;
    options.DeviceBootLoaderFirmwareVersion = 115;
    options.HeartbeatMs = 0;
    ASSERT_NO_FATAL_FAILURE(StartSimulation(options));
    ASSERT_NO_FATAL_FAILURE(ResetDeviceIntoBootLoader(Port));
    ASSERT_TRUE(Sim->DeviceInBootLoader());

    CreateUpdater(FirmwarePart(2601250, c.ConnectInfo, ConfigCovering(c.FirstCalibration, 224)));
    EXPECT_FALSE(Updater->PrepareTarget(nullptr, false));
    EXPECT_EQ(TAccess::CarryVersion(*Updater), 2601250);
    ASSERT_NO_FATAL_FAILURE(ConnectUpdater());
    EXPECT_EQ(Updater->BootLoader().MethodNumber(), c.Method);
    EXPECT_EQ(TAccess::DataImage(*Updater).size(), 256u);
    const TResult programmed = Updater->ProgramMain("Device", true);
    ASSERT_TRUE(programmed) << programmed.Text();
    EXPECT_EQ(Sim->Stats().DeviceLines, 4 + 3);
    EXPECT_TRUE(WaitUntil([&] { return !Sim->DeviceInBootLoader(); }));
    EXPECT_EQ(Sim->DeviceVersion(), 2601250u);

    // The file's bytes, except where the device keeps calibration (176..224), and
    // conversion A when the new firmware adds offset 168.
    std::vector<uint8_t> expected(256);
    for (int offset = 0; offset < 256; ++offset)
      expected[static_cast<size_t>(offset)] = offset >= 176 && offset <= 224
                                                  ? DeviceStartByte(offset)
                                                  : static_cast<uint8_t>(0x10 + offset / 64);
    if (c.FirstCalibration == 168) {
      for (const int at : {0xA8, 0xC2}) {
        expected[static_cast<size_t>(at)] = ConvertedA & 0xFF;
        expected[static_cast<size_t>(at + 1)] = ConvertedA >> 8;
      }
    }
    for (int offset = 0; offset < 256; offset += 2) {
      const uint16_t word = static_cast<uint16_t>(expected[static_cast<size_t>(offset)] |
                                                  expected[static_cast<size_t>(offset + 1)] << 8);
      EXPECT_EQ(Sim->ReadWord(static_cast<uint16_t>(0x2100 + offset)), word) << "offset " << offset;
    }
  }
}

}  // namespace
