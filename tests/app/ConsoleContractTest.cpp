// The console as a scripting interface: one exit status per outcome in every mode,
// refusals instead of silent changes, and names and numbers checked before any port.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

#include <memory>
#include <string>
#include <vector>

#include "app/CalibrationCycle.h"
#include "app/ConsoleFrontEnd.h"
#include "app/ConsoleJson.h"
#include "app/ConsoleNames.h"
#include "firmware/InterfaceRefresh.h"
#include "serial/PortMap.h"
#include "serial/VirtualLine.h"
#include "sim/Simulator.h"
#include "support/ProgramVersion.h"
#include "variables/IdentifierConsole.h"

namespace {

constexpr int BulkSetting = 57 - 53;  // eestIBatBulk: scale 1, limits 0..1000 in the simulation

class ConsoleContract : public ::testing::Test {
 protected:
  void SetUp() override { Port = "COM" + std::to_string(Sim.RegisterAsPort()); }
  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", Port, "--timeout", "20"});
    return RunConsole(args);
  }
  TSimulation Sim;
  std::string Port;
};

TEST_F(ConsoleContract, SetRefusesValuesOutsideTheLimitsUnlessClampIsAsked) {
  const uint16_t before = Sim.Setting(BulkSetting);
  EXPECT_EQ(Run({"--set", "eestIBatBulk=999999"}), ceDeviceError);
  EXPECT_EQ(Run({"--set", "eestIBatBulk=-1"}), ceDeviceError);
  EXPECT_EQ(Sim.Setting(BulkSetting), before);  // nothing written
  EXPECT_EQ(Run({"--set", "eestIBatBulk=999999", "--clamp"}), ceOk);
  EXPECT_EQ(Sim.Setting(BulkSetting), 1000);
}

TEST_F(ConsoleContract, SetStoresTheNearestStepUnlessExactIsAsked) {
  EXPECT_EQ(Run({"--set", "eestIBatBulk=12.5", "--exact"}), ceDeviceError);
  EXPECT_NE(Sim.Setting(BulkSetting), 13);
  EXPECT_EQ(Run({"--set", "eestIBatBulk=12.5"}), ceOk);
  EXPECT_EQ(Sim.Setting(BulkSetting), 13);
  EXPECT_EQ(Run({"--set", "eestIBatBulk=40", "--exact"}), ceOk);  // a step: exact is fine
  EXPECT_EQ(Sim.Setting(BulkSetting), 40);
}

TEST_F(ConsoleContract, JsonCalibrationPrintsOnlyTheDeviceObjectOnStandardOutput) {
  ::testing::internal::CaptureStdout();
  const int status = Run({"--json", "--record", "-"});
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, ceOk);
  ASSERT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;  // no log line mixed in
  const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(out)).object();
  EXPECT_EQ(o["result"].toString(), "OK!");
  EXPECT_EQ(o["source"].toInt(), 1003);
  EXPECT_EQ(o["device"].toObject()["version"].toInt(), 2606207);
  const QJsonArray targets = o["targets"].toArray();
  ASSERT_EQ(targets.size(), 2);
  for (const auto& target : targets) {
    EXPECT_EQ(target.toObject()["written"].toInt(), 6419);
    EXPECT_EQ(target.toObject()["readBack"].toInt(), 6419);
  }
}

TEST_F(ConsoleContract, EveryOutcomeHasItsStatus) {
  EXPECT_EQ(Run({"--get", "eestIBatBulk"}), ceOk);
  EXPECT_EQ(Run({}), ceOk);  // a calibration ending with OK!
  EXPECT_EQ(RunConsole({"--port", "/dev/does-not-exist"}), cePortError);
  EXPECT_EQ(RunConsole({"--port", "/dev/does-not-exist", "--get", "eestIBatBulk"}), cePortError);
  EXPECT_EQ(RunConsole({"--bogus"}), ceUsage);
  EXPECT_EQ(RunConsole({"--port", Port, "stray"}), ceUsage);
  EXPECT_EQ(RunConsole({"--version"}), ceOk);

  auto empty = std::make_shared<TVirtualLine>(false);  // nothing answers on it
  const int idle = RegisterVirtualPortAnywhere(empty);
  const std::string idlePort = "COM" + std::to_string(idle);
  EXPECT_EQ(RunConsole({"--port", idlePort, "--timeout", "1"}), ceTimeout);
  EXPECT_EQ(RunConsole({"--port", idlePort, "--timeout", "1", "--get", "eestIBatBulk"}), ceTimeout);
  UnregisterVirtualPort(idle);
}

TEST(ConsoleContractNames, UnknownNamesAndUnreadableNumbersAreRefusedBeforeThePort) {
  // A missing port would give 2: 4 shows that the request was refused first.
  const std::string missing = "/dev/does-not-exist";
  EXPECT_EQ(RunConsole({"--port", missing, "--get", "eestIBatBulkk"}), ceUsage);
  EXPECT_EQ(RunConsole({"--port", missing, "--set", "eestIBatBulkk=1"}), ceUsage);
  EXPECT_EQ(RunConsole({"--port", missing, "--set", "eestIBatBulk=twelve"}), ceUsage);
  QString reason;
  EXPECT_FALSE(CheckNamedRequest("eestIBatBulkk", false, reason));
  EXPECT_TRUE(reason.contains("eestIBatBulk")) << reason.toStdString();  // a close match
  EXPECT_TRUE(CheckNamedRequest(" eestIBatBulk=$1F ", true, reason));
}

TEST(ProgramVersion, NamesTheProgramAndTheImageItCarries) {
  EXPECT_EQ(InterfaceImageVersion, EmbeddedInterfaceVersion);
  EXPECT_EQ(std::string(VersionCaption), std::string("program version ") + ProgramVersion);
  EXPECT_EQ(VersionText("bxsim"), "bxsim 9007119.4\nBX2 interface image 1130132\n");
}

}  // namespace

namespace {

TEST(ConsoleNames, ListsEveryUsableNameWithItsKindAndFiltersByPattern) {
  const std::string all = ListIdentifierNames("");
  int lines = 0;
  for (char c : all) lines += c == '\n';
  EXPECT_EQ(lines, 126);  // identifiers 1..126
  EXPECT_NE(all.find("eestIBatBulk\tsetting\n"), std::string::npos);
  EXPECT_EQ(all.find("NoVariableID"), std::string::npos);  // not a usable value
  const std::string some = ListIdentifierNames("ibatbulk");
  EXPECT_EQ(some, "eestIBatBulk\tsetting\n");
  EXPECT_EQ(ListIdentifierNames("eest?BatBulk"), some);
  EXPECT_EQ(ListIdentifierNames("no such name"), "");
  TConsoleOptions options;
  std::string error;
  ASSERT_TRUE(ParseConsoleArguments({"--list-names", "IBat*"}, options, error)) << error;
  EXPECT_TRUE(options.ListNames);
  EXPECT_EQ(options.NamePattern, "IBat*");
}

}  // namespace

namespace {

TEST(ConsoleJson, OneObjectWithTheValueAndItsLimitsOrOnlyTheReason) {
  TNamedValueFacts facts;
  facts.Known = true;
  facts.Name = "eestIBatBulk";
  facts.Value = 12.5;
  facts.Raw = 125;
  facts.Scale = 0.1;
  facts.Minimum = 0;
  facts.Maximum = 100;
  const std::string line = NamedValueJson(true, facts, "eestIBatBulk = 12.5 \"A\"");
  ASSERT_EQ(line.back(), '\n');
  EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);  // one line per run
  const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
  EXPECT_TRUE(o["ok"].toBool());
  EXPECT_EQ(o["name"].toString(), "eestIBatBulk");
  EXPECT_DOUBLE_EQ(o["value"].toDouble(), 12.5);
  EXPECT_EQ(o["raw"].toInt(), 125);
  EXPECT_DOUBLE_EQ(o["maximum"].toDouble(), 100);
  EXPECT_EQ(o["message"].toString(), "eestIBatBulk = 12.5 \"A\"");  // quotes survive

  const QJsonObject refused =
      QJsonDocument::fromJson(QByteArray::fromStdString(NamedValueJson(false, {}, "no device")))
          .object();
  EXPECT_FALSE(refused["ok"].toBool());
  EXPECT_FALSE(refused.contains("value"));
}

}  // namespace
