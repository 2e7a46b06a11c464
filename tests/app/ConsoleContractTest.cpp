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
#include "app/console/Json.h"
#include "app/console/Modes.h"
#include "app/console/NamedValueText.h"
#include "app/console/Names.h"
#include "firmware/InterfaceRefresh.h"
#include "serial/PortMap.h"
#include "serial/VirtualLine.h"
#include "sim/Simulator.h"
#include "support/ProgramVersion.h"

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

// A refusal: one line naming the problem, then "Try --help.", and nothing sent to the
// device on the port the arguments name.
TEST_F(ConsoleContract, BadUsageIsRefusedBeforeThePortIsOpened) {
  struct TRefusal {
    std::vector<std::string> Args;
    std::string Says;
  };
  const std::string kff = "inverter.kff";  // never read: the refusal comes first
  std::vector<TRefusal> refusals = {
      // An empty or missing value never chooses a mode (it used to calibrate).
      {{"--port", Port, "--get", ""}, "--get needs NAME, not an empty value"},
      {{"--port", Port, "--get="}, "--get needs NAME, not an empty value"},
      {{"--port", Port, "--set", ""}, "--set needs NAME=VALUE, not an empty value"},
      {{"--port", Port, "--set="}, "--set needs NAME=VALUE, not an empty value"},
      {{"--port", Port, "--update", ""}, "--update needs FILE, not an empty value"},
      {{"--port", Port, "--decode-trace", ""}, "--decode-trace needs FILE, not an empty value"},
      {{"--port", Port, "--record", ""}, "--record needs FILE, not an empty value"},
      {{"--port", Port, "--trace="}, "--trace needs FILE, not an empty value"},
      {{"--history="}, "--history needs FILE, not an empty value"},
      {{"--port", ""}, "--port needs PORT, not an empty value"},
      {{"--port", Port, "--get", "--json"}, "--get needs NAME"},
      {{"--port", Port, "--loop=yes"}, "--loop takes no value"},
      // Two modes at once.
      {{"--port", Port, "--get", "eestIBatBulk", "--loop"}, "--get and --loop exclude each other"},
      {{"--port", Port, "--update", kff, "--loopback-test"},
       "--update and --loopback-test exclude each other"},
      {{"--port", Port, "--loop", "--set", "eestIBatBulk=1"},
       "--loop and --set exclude each other"},
      {{"--history", "--list-names"}, "--history and --list-names exclude each other"},
      // Options of another mode.
      {{"--port", Port, "--clamp"}, "--clamp needs --set"},
      {{"--port", "sim", "--clamp"}, "--clamp needs --set"},
      {{"--port", Port, "--get", "eestIBatBulk", "--exact"}, "--exact needs --set"},
      {{"--port", Port, "--method", "3"}, "--method needs --update"},
      {{"--port", Port, "--since", "2026-12-01"}, "--since needs --history"},
      {{"--port", Port, "--loopback-test", "--json"}, "--json does not go with --loopback-test"},
      {{"--port", Port, "--update", kff, "--json"}, "--json does not go with --update"},
      {{"--port", Port, "--get", "eestIBatBulk", "--record", "r.jsonl"},
       "--record does not go with --get"},
      {{"--list-names", "--port", Port}, "--port does not go with --list-names"},
      {{"--get", "eestIBatBulk"}, "--get needs --port"},
      // An option given twice.
      {{"--port", "COM250", "--port", Port}, "--port given twice"},
      {{"--port", Port, "--json", "--json"}, "--json given twice"},
  };
  // Ports that are none of a COM number 1..256, a COM name, sim or a path.
  for (const char* port : {"0", "257", "-1", "COM", "COM0", "3.5", "COM+3", " 3"})
    refusals.push_back({{"--port", port},
                        "not a port: '" + std::string(port) +
                            "' (give a COM number 1..256, a device path, or sim)"});
  for (const TRefusal& refusal : refusals) {
    SCOPED_TRACE(::testing::PrintToString(refusal.Args));
    ::testing::internal::CaptureStderr();
    const int status = RunConsole(refusal.Args);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, ceUsage);
    EXPECT_EQ(err, "calibrator-cli: " + refusal.Says + "\nTry --help.\n");
  }
  EXPECT_EQ(Sim.Stats().HostFrames, 0);
  EXPECT_TRUE(Sim.Writes().empty());
}

TEST(ConsoleContractNames, UnknownNamesAndUnreadableNumbersAreRefusedBeforeThePort) {
  // A missing port would give 2: 4 shows that the request was refused first.
  const std::string missing = "/dev/does-not-exist";
  EXPECT_EQ(RunConsole({"--port", missing, "--get", "eestIBatBulkk"}), ceUsage);
  EXPECT_EQ(RunConsole({"--port", missing, "--set", "eestIBatBulkk=1"}), ceUsage);
  EXPECT_EQ(RunConsole({"--port", missing, "--set", "eestIBatBulk=twelve"}), ceUsage);
  TNamedRequest request;
  const TResult unknown = ParseNamedRequest("eestIBatBulkk", false, request);
  EXPECT_EQ(unknown.Fault(), TFault::BadInput);
  EXPECT_NE(unknown.Text().find("\"eestIBatBulkk\""), std::string::npos) << unknown.Text();
  EXPECT_NE(unknown.Text().find("eestIBatBulk?"), std::string::npos);  // a close match
  ASSERT_TRUE(ParseNamedRequest(" eestIBatBulk=$1F ", true, request));
  EXPECT_EQ(request.Name, "eestIBatBulk");
  EXPECT_EQ(request.Value, 31);
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
  EXPECT_EQ(options.Mode, TConsoleMode::ListNames);
  EXPECT_EQ(options.NamePattern, "IBat*");
}

}  // namespace

namespace {

TEST(ConsoleJson, OneObjectWithTheValueAndItsLimitsOrOnlyTheReason) {
  TNamedValue facts;
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
