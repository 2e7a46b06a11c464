// Variables against the simulated device, through the real BX2 driver: the
// requests must mean to the device what the variable intends.

#include <gtest/gtest.h>

#include <memory>

#include "link/BX2Driver.h"
#include "serial/PortMap.h"
#include "serial/SerialPort.h"
#include "sim/Simulator.h"
#include "support/Threads.h"
#include "tests/variables/VariableTestSupport.h"
#include "variables/ExtendedVariable.h"
#include "variables/InfoCache.h"
#include "variables/NamedValue.h"

namespace {

class VariableSimTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    StartVariableUnits();
    StartUnitThreads();
    StartUnitPortMap();
  }

  void Start(TSimOptions options = {}) {
    ResetInfoCache();
    Sim = std::make_unique<TSimulation>(options);
    auto port = std::make_unique<TRS232o>();
    ASSERT_TRUE(port->Open(static_cast<uint32_t>(Sim->RegisterAsPort()), 2400, 'N', 1024, 1024));
    Driver.reset(TBX2Driver::Create(std::move(port), true, lsKMBus));
    Driver->ControllerType = Driver->ClassifyVersion(static_cast<int32_t>(options.DeviceVersion));
  }
  void TearDown() override { Driver.reset(); }

  // Write, then read back into a cleared value, as the callers verify.
  bool WriteAndReadBack(TExtendedVariable& v) {
    const int32_t wanted = v.RawValue;
    if (!v.Write(*Driver)) return false;
    v.SetRawValue(NotReadSentinel);
    return v.Read(*Driver) && v.RawValue == wanted;
  }

  std::unique_ptr<TSimulation> Sim;
  TThreadPtr<TBX2Driver> Driver;
};

TEST_F(VariableSimTest, MemoryWordsAndBits) {
  Start();
  TExtendedVariable v(QStringLiteral("512"));
  v.SetRawValue(255);
  ASSERT_TRUE(WriteAndReadBack(v));  // EEPROM writes on
  ASSERT_TRUE(Sim->EepromWritesEnabled());

  v.Address = 0x21A8;
  v.DataType = dtWord;
  v.SetRawValue(6419);
  EXPECT_TRUE(WriteAndReadBack(v));
  EXPECT_EQ(Sim->ReadWord(0x21A8), 6419);

  TExtendedVariable bit(QStringLiteral("$21A8^5"));
  bit.SetRawValue(1);
  EXPECT_TRUE(WriteAndReadBack(bit));
  EXPECT_EQ(Sim->ReadWord(0x21A8), 6419 | 0x20);

  TExtendedVariable low(QStringLiteral("$0120^1"));
  low.SetRawValue(1);
  EXPECT_TRUE(WriteAndReadBack(low));
  EXPECT_EQ(Sim->ReadByte(0x0120) & 0x02, 0x02);
}

TEST_F(VariableSimTest, IdentifierValuesInBothInformationForms) {
  for (bool shortForm : {false, true}) {
    SCOPED_TRACE(shortForm ? "short form" : "long form");
    TSimOptions options;
    options.VariableInfoShortForm = shortForm;
    Start(options);

    TExtendedVariable setting;
    setting.SetIdentifier(56);  // setting 3: signed, hundredths, at most 5000
    ASSERT_TRUE(setting.ReadInfo(*Driver));
    EXPECT_EQ(setting.CombinedWrite, shortForm);
    EXPECT_EQ(setting.DataType, dtSigned);
    EXPECT_EQ(setting.MaxRaw, 5000);
    setting.SetValueLimited(12.34);
    EXPECT_TRUE(WriteAndReadBack(setting));
    EXPECT_EQ(Sim->Setting(3), 1234);
    EXPECT_EQ(setting.GetText(), QStringLiteral("12.34"));

    TExtendedVariable ram;
    ram.SetIdentifier(5);  // RAM variable 4: unsigned hundredths
    ASSERT_TRUE(ram.ReadInfo(*Driver));
    EXPECT_DOUBLE_EQ(ram.Scale, 0.01);
    ram.SetRawValue(777);
    EXPECT_TRUE(WriteAndReadBack(ram));
    EXPECT_EQ(Sim->RamVariable(4), 777);

    TExtendedVariable flag;
    flag.SetIdentifier(52);  // bit 3 of setting 60
    ASSERT_TRUE(flag.ReadInfo(*Driver));
    EXPECT_TRUE(flag.IsAvailable());
    const uint16_t before = Sim->Setting(60);
    flag.SetRawValue(before & 0x08 ? 0 : 1);
    EXPECT_TRUE(WriteAndReadBack(flag));
    EXPECT_EQ(Sim->Setting(60), before ^ 0x08);
    Driver.reset();
  }
}

TEST_F(VariableSimTest, NamedAccessByTheIdentifierTable) {
  Start();
  TNamedValue value;
  const TResult written = WriteNamedValue(*Driver, QStringLiteral("_60Hz"), 1, {}, value);
  ASSERT_TRUE(written) << written.Text();
  EXPECT_EQ(value.Text, QStringLiteral("1"));
  EXPECT_EQ(Sim->Setting(0) & 0x04, 0x04);
  value = {};
  const TResult read = ReadNamedValue(*Driver, QStringLiteral("_60hz"), value);
  ASSERT_TRUE(read) << read.Text();
  EXPECT_EQ(value.Name, QStringLiteral("_60Hz"));
  EXPECT_EQ(value.Text, QStringLiteral("1"));
  const TResult unknown = WriteNamedValue(*Driver, QStringLiteral("60Hz"), 0, {}, value);
  EXPECT_EQ(unknown.Fault(), TFault::BadInput);
  EXPECT_EQ(unknown.Text(), "Unknown name \"60Hz\"; did you mean _60Hz?");
}

}  // namespace
