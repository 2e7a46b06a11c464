// Device identification queries: reply parsing against a scripted driver, and the
// version forms, address selection and verified writes against the simulator.

#include <gtest/gtest.h>

#include <ostream>

#include <deque>

#include "link/BX2Driver.h"
#include "link/DeviceQueries.h"
#include "sim/Simulator.h"
#include "tests/common/FakeBusDriver.h"
#include "tests/link/DetectionTestSupport.h"
#include "variables/DeviceAccess.h"

namespace {

TFakeDriverPtr ScriptedDriver(std::deque<std::string> replies) {
  TFakeDriverPtr driver = MakeFakeDriver(0);
  driver->Replies = std::move(replies);
  return driver;
}

// ---- version replies ------------------------------------------------------------------

struct TVersionCase {
  const char* Name;
  std::deque<std::string> Replies;
  int32_t Version;
  size_t Requests;
  std::string Text;
};
void PrintTo(const TVersionCase& c, std::ostream* os) {
  *os << c.Name;
}

class VersionReplyTest : public ::testing::TestWithParam<TVersionCase> {};

TEST_P(VersionReplyTest, NumberTextAndRequestsMade) {
  const TVersionCase& c = GetParam();
  auto driver = ScriptedDriver(c.Replies);
  TVersionRecord record;
  const bool first = ReadVersionRecord(driver.get(), true, record);
  const bool second = first && ReadVersionRecord(driver.get(), false, record);
  EXPECT_EQ(second ? record.Number : -1, c.Version);
  EXPECT_EQ(driver->Sent.size(), c.Requests);
  EXPECT_EQ(record.Text, c.Text);
  if (!driver->Sent.empty()) {
    EXPECT_EQ(driver->Sent[0], Bytes({0x05}));
  }
  if (driver->Sent.size() > 1) {
    EXPECT_EQ(driver->Sent[1], Bytes({0x06}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, VersionReplyTest,
    ::testing::Values(
        // 2606207 = 0x0027C47F
        TVersionCase{"Full32", {Bytes({0x82, 0x7F, 0xC4, 0x27, 0x00})}, 2606207, 1, ""},
        TVersionCase{
            "Split16", {Bytes({0x82, 0x7F, 0xC4}), Bytes({0x83, 0x27, 0x00})}, 2606207, 2, ""},
        TVersionCase{"UpperHalfOnly16Bits",
                     {Bytes({0x82, 0x34, 0x12}), Bytes({0x83, 0x13, 0x00})},
                     0x13 * 65536 + 0x1234,
                     2,
                     ""},
        TVersionCase{"SecondRequestUnanswered", {Bytes({0x82, 0x34, 0x12}), ""}, -1, 2, ""},
        TVersionCase{"SecondReplyWrongCode",
                     {Bytes({0x82, 0x34, 0x12}), Bytes({0x82, 0x13, 0x00})},
                     -1,
                     2,
                     ""},
        // 0x01940203 is written in hexadecimal digits: 1940203.
        TVersionCase{"HexadecimalDigits", {Bytes({0x82, 0x03, 0x02, 0x94, 0x01})}, 1940203, 1, ""},
        TVersionCase{"TextAfterTheValue",
                     {Bytes({0x82, 0x7F, 0xC4, 0x27, 0x00, 'a', 'b'})},
                     2606207,
                     1,
                     "ab"},
        TVersionCase{"WrongFirstCode", {Bytes({0x83, 0x7F, 0xC4, 0x27, 0x00})}, -1, 1, ""},
        TVersionCase{"TooShort", {Bytes({0x82, 0x7F})}, -1, 1, ""},
        TVersionCase{"NoReply", {""}, -1, 1, ""}),
    [](const ::testing::TestParamInfo<TVersionCase>& p) { return std::string(p.param.Name); });

// Attempts repeat the whole exchange while it fails, and stop at the first version.
TEST(VersionRequests, AttemptsRepeatOnlyAFailedExchange) {
  const std::string full = Bytes({0x82, 0x7F, 0xC4, 0x27, 0x00});
  auto once = ScriptedDriver({"", full});
  EXPECT_EQ(QueryVersion(once.get(), 1), -1);
  EXPECT_EQ(once->Sent.size(), 1u);
  auto twice = ScriptedDriver({"", full, full});
  EXPECT_EQ(QueryVersion(twice.get(), 2), 2606207);
  EXPECT_EQ(twice->Sent.size(), 2u);  // the third reply was never asked for
  auto split = ScriptedDriver(
      {Bytes({0x82, 0x7F, 0xC4}), "", Bytes({0x82, 0x7F, 0xC4}), Bytes({0x83, 0x27, 0x00})});
  EXPECT_EQ(QueryVersion(split.get(), 2), 2606207);  // both requests again
  EXPECT_EQ(split->Sent,
            (std::vector<std::string>{Bytes({0x05}), Bytes({0x06}), Bytes({0x05}), Bytes({0x06})}));
}

TEST(VersionDigits, HexadecimalFormReadAsDecimal) {
  const std::pair<int32_t, int32_t> cases[] = {
      {9999999, 9999999},    // not above the limit: unchanged
      {0x1940203, 1940203},  // digits only
      {0x12A4567, 12},       // stops at the first letter
      {0x7FFFFFFF, 7},       // ...however far the number goes
      {0xA000000, 0},        // a letter first leaves nothing
      {10000000, 989680},    // 0x989680
  };
  for (const auto& [number, expected] : cases) EXPECT_EQ(DecimalFromHexDigits(number), expected);
}

TEST(VersionRequests, NoDriverGivesNoVersion) {
  std::string text = "old";
  EXPECT_EQ(RequestVersion(nullptr, true, text), -1);
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(QueryVersion(nullptr), -1);
  EXPECT_FALSE(SelectDeviceAddress(nullptr));
  EXPECT_FALSE(SetEepromWrites(nullptr, true, 2606207));
  int32_t value = 0;
  EXPECT_FALSE(ReadDeviceValue(nullptr, 0x21C4, value, 2));
  EXPECT_EQ(value, 2147483647);
}

// ---- device-info replies --------------------------------------------------------------------

TEST(DeviceInfo, OnlyCompleteRepliesOfAKnownFormCount) {
  const std::string shortForm = Bytes({0x20, 1, 2, 3, 4, 1, 7, 0x10, 0x20, 0x30, 0x40});
  TDeviceInfo info;
  ParseDeviceInfo(shortForm, info);
  EXPECT_EQ(info.DeviceAddress, 7);
  EXPECT_EQ(info.FirstValue, 0x04030201u);
  EXPECT_EQ(info.SecondValue, 0x40302010);
  EXPECT_FALSE(info.LongForm);

  std::string longForm = shortForm;
  longForm[5] = 17;
  info = TDeviceInfo{};
  ParseDeviceInfo(longForm, info);
  EXPECT_TRUE(info.LongForm);

  for (const std::string& rejected :
       {shortForm.substr(0, 10), Bytes({0x20, 1, 2, 3, 4, 2, 7, 0, 0, 0, 0}),
        Bytes({0x21, 1, 2, 3, 4, 1, 7, 0, 0, 0, 0}), std::string()}) {
    TDeviceInfo untouched;
    ParseDeviceInfo(rejected, untouched);
    EXPECT_EQ(untouched.DeviceAddress, 255);
    EXPECT_EQ(untouched.SecondValue, -1);
  }
}

// ---- against the simulator ------------------------------------------------------------------

class QueriesSimTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartDetectionUnits(); }

  void Start(TSimOptions options = {}) {
    Sim = std::make_unique<TSimulation>(options);
    auto port = std::make_unique<TRS232o>();
    ASSERT_TRUE(port->Open(static_cast<uint32_t>(Sim->RegisterAsPort()), 2400, 'N', 1024, 1024));
    Recorder = std::make_unique<TSentRecorder>(*port);
    Driver.reset(TBX2Driver::Create(std::move(port), true, 1));
    Driver->ControllerType = Driver->ClassifyVersion(static_cast<int32_t>(options.DeviceVersion));
  }
  void TearDown() override { Driver.reset(); }

  int AddressedFramesSent() const {
    int count = 0;
    for (const auto& burst : Recorder->Sent())
      count += burst.Bytes.size() > 1 && burst.Bytes[1] == '!' ? 1 : 0;
    return count;
  }

  std::unique_ptr<TSimulation> Sim;
  std::unique_ptr<TSentRecorder> Recorder;
  TThreadPtr<TBX2Driver> Driver;
};

TEST_F(QueriesSimTest, VersionFormsOfTheDevice) {
  const std::pair<TSimVersionForm, uint32_t> forms[] = {{TSimVersionForm::Full32, 2606207},
                                                        {TSimVersionForm::Split16, 2606207},
                                                        {TSimVersionForm::HexDigits, 1940203}};
  for (const auto& [form, version] : forms) {
    TSimOptions options;
    options.VersionForm = form;
    options.DeviceVersion = version;
    Start(options);
    EXPECT_EQ(QueryVersion(Driver.get()), static_cast<int32_t>(version));
    Driver.reset();
  }
}

TEST_F(QueriesSimTest, SelectsTheAddressTheDeviceReports) {
  TSimOptions options;
  options.DeviceAddress = 5;
  Start(options);
  EXPECT_TRUE(SelectDeviceAddress(Driver.get()));
  EXPECT_EQ(AddressedFramesSent(), 1);
  EXPECT_EQ(Driver->GetAddress(), 5);
  EXPECT_EQ(QueryVersion(Driver.get()), 2606207);
  EXPECT_EQ(Sim->SelectedAddress(), 5);
}

TEST_F(QueriesSimTest, NoDeviceMeansTwoInfoRequestsAndNoSelection) {
  TSimOptions options;
  options.Faults.DeviceSilent = true;
  Start(options);
  EXPECT_FALSE(SelectDeviceAddress(Driver.get()));
  EXPECT_EQ(AddressedFramesSent(), 2);
  EXPECT_EQ(Driver->GetAddress(), 0);
}

TEST_F(QueriesSimTest, VerifiedWritesNeedTheEepromSwitch) {
  Start();
  // With the switch off the device keeps nothing, and the write must not pass as done.
  EXPECT_FALSE(WriteDeviceValue(Driver.get(), 0x21A8, 1234, dtWord));
  EXPECT_NE(Sim->ReadWord(0x21A8), 1234);

  ASSERT_TRUE(SetEepromWrites(Driver.get(), true, 2606207));
  EXPECT_TRUE(Sim->EepromWritesEnabled());
  EXPECT_TRUE(WriteDeviceValue(Driver.get(), 0x21A8, 1234, dtWord));
  EXPECT_EQ(Sim->ReadWord(0x21A8), 1234);
  int32_t value = 0;
  EXPECT_TRUE(ReadDeviceValue(Driver.get(), 0x21C4, value, dtWord));
  EXPECT_EQ(value, 1003);

  ASSERT_TRUE(SetEepromWrites(Driver.get(), false, 2606207));
  EXPECT_FALSE(Sim->EepromWritesEnabled());
}

TEST_F(QueriesSimTest, MinorZeroAsksTheDeviceWhichSwitchItHas) {
  for (const std::string& text : {std::string("x1"), std::string()}) {
    TSimOptions options;
    options.DeviceVersion = 1940000;
    options.VersionText = text;
    Start(options);
    EXPECT_TRUE(SetEepromWrites(Driver.get(), true, 1940000));
    const auto writes = Sim->Writes();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().Address, text.empty() ? 1279 : 512);
    Driver.reset();
  }
}

TEST_F(QueriesSimTest, OldFirmwareWithoutSwitchWritesNothing) {
  Start();
  EXPECT_FALSE(SetEepromWrites(Driver.get(), true, 1940140));
  EXPECT_TRUE(Sim->Writes().empty());
}

}  // namespace

// The updater selects the device's address whatever the interface's mode; the cycle and
// single values only in KMBus mode.
TEST_F(QueriesSimTest, AddressSelectionInNineBitModeOnlyWhenAlwaysAsked) {
  TSimOptions options;
  options.DeviceAddress = 5;
  Start(options);
  Driver->LinkState = lsNineBit;  // as a BX2 that reported 9-bit mode
  ConnectDevice(Driver.get(), 1, TAddressSelection::KMBusOnly);
  EXPECT_EQ(AddressedFramesSent(), 0);
  EXPECT_EQ(Driver->GetAddress(), 0);
  ConnectDevice(Driver.get(), 1, TAddressSelection::Always);
  EXPECT_GE(AddressedFramesSent(), 1);
  EXPECT_EQ(Driver->GetAddress(), 5);
}

// The carry-over asks the device that is already selected, even in KMBus mode.
TEST_F(QueriesSimTest, NoAddressSelectionWhenNeverAsked) {
  Start(TSimOptions{});
  ASSERT_EQ(Driver->LinkState, lsKMBus);
  EXPECT_EQ(ConnectDevice(Driver.get(), 1, TAddressSelection::Never), 2606207);
  EXPECT_EQ(AddressedFramesSent(), 0);
}
