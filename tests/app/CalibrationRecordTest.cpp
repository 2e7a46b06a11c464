// The calibration record and its history: a record line for every result the
// cycle reaches, written against the simulated interface and device, read back
// the way --history reads it.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/CalibrationCycle.h"
#include "app/CalibrationRecord.h"
#include "app/console/History.h"
#include "app/console/Modes.h"
#include "app/console/program/SimPort.h"
#include "sim/Simulator.h"

namespace {

class TSilentView : public TCycleView {
 public:
  void AddLog(const std::string& text, bool, uint32_t, TLogStyle, bool) override {
    if (OnLine) OnLine(text);
  }
  void SelectPortItem(int) override {}
  void DeviceDone(TDeviceOutcome outcome) override { Outcomes.push_back(outcome); }
  void RecordNotWritten(const std::string& path, const std::string& reason) override {
    Failures.push_back(path + ": " + reason);
  }
  std::vector<TDeviceOutcome> Outcomes;
  std::vector<std::string> Failures;
  std::function<void(const std::string&)> OnLine;
};

std::vector<TRecordEntry> ReadAll(const QString& path, int* skipped = nullptr) {
  std::vector<TRecordEntry> entries;
  std::string error;
  EXPECT_TRUE(ReadRecordFile(path, entries, skipped, error)) << error;
  return entries;
}

QByteArray ReadBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class RecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Dir.isValid());
    Path = Dir.filePath("records/calibrations.jsonl");
    Record = std::make_unique<TCalibrationRecord>(Path);
  }
  // One device on the simulator, start to result.
  void RunDevice(TSimOptions options = {}) {
    Sim = std::make_unique<TSimulation>(options);
    const int port = Sim->RegisterAsPort();
    ASSERT_GT(port, 0);
    Cycle = std::make_unique<TCalibrationCycle>(View);
    Cycle->SetRecord(Record.get());
    Cycle->Initialise();
    Cycle->ChoosePortNumber(static_cast<uint32_t>(port));
    PortNumber = port;
    for (int i = 0; i < 60 && View.Outcomes.empty(); ++i) Cycle->TestConnection();
    ASSERT_EQ(View.Outcomes.size(), 1u);
  }
  QJsonObject OnlyRecord() {
    const auto entries = ReadAll(Path);
    EXPECT_EQ(entries.size(), 1u);
    return entries.empty() ? QJsonObject() : entries.front().Object;
  }
  void TearDown() override {
    Cycle.reset();
    Sim.reset();
  }

  QTemporaryDir Dir;
  QString Path;
  std::unique_ptr<TCalibrationRecord> Record;
  TSilentView View;
  std::unique_ptr<TSimulation> Sim;
  std::unique_ptr<TCalibrationCycle> Cycle;
  int PortNumber = 0;
};

TEST_F(RecordTest, SuccessfulDeviceRecordsEveryField) {
  TSimOptions options;
  options.CalibrationSource = 1003;
  options.InterfaceVersion = 1130132;
  RunDevice(options);
  const QJsonObject r = OnlyRecord();
  const QDateTime when = QDateTime::fromString(r["time"].toString(), Qt::ISODateWithMs);
  ASSERT_TRUE(when.isValid()) << r["time"].toString().toStdString();
  EXPECT_TRUE(r["time"].toString().endsWith('Z'));
  EXPECT_LE(std::llabs(when.msecsTo(QDateTime::currentDateTimeUtc())), 60000);
  EXPECT_EQ(r["program"].toString(), "9007119.4");
  EXPECT_FALSE(r["station"].toString().isEmpty());
  EXPECT_EQ(r["port"].toObject()["com"].toInt(), PortNumber);
  const QJsonObject interface = r["interface"].toObject();
  EXPECT_EQ(interface["kind"].toString(), "BX2");
  EXPECT_EQ(interface["version"].toInt(), 1130132);
  EXPECT_EQ(interface["mode"].toString(), "KMBus");
  EXPECT_EQ(r["device"].toObject()["version"].toInt(), 2606207);
  EXPECT_EQ(r["device"].toObject()["address"].toInt(), 0);
  EXPECT_EQ(r["source"].toInt(), 1003);
  const QJsonArray targets = r["targets"].toArray();
  ASSERT_EQ(targets.size(), 2);
  EXPECT_EQ(targets[0].toObject()["address"].toString(), "0x21A8");
  EXPECT_EQ(targets[1].toObject()["address"].toString(), "0x21C2");
  for (const auto& target : targets) {
    EXPECT_EQ(target.toObject()["written"].toInt(), 6419);
    EXPECT_EQ(target.toObject()["readBack"].toInt(), 6419);
  }
  EXPECT_EQ(r["result"].toString(), "OK!");
  EXPECT_EQ(r["eepromSwitchedOff"], QJsonValue(true));
  EXPECT_GT(r["durationMs"].toInteger(), 0);
  EXPECT_TRUE(View.Failures.empty());
}

TEST_F(RecordTest, GateRefusalRecordsTheGateMessageAndNoValues) {
  TSimOptions options;
  options.DeviceVersion = 2606150;
  RunDevice(options);
  const QJsonObject r = OnlyRecord();
  EXPECT_EQ(r["result"].toString().toStdString(), GateMessage);
  EXPECT_EQ(r["device"].toObject()["version"].toInt(), 2606150);
  EXPECT_TRUE(r["source"].isNull());
  EXPECT_TRUE(r["targets"].toArray().isEmpty());
}

TEST_F(RecordTest, FailedTargetRecordsWhatWasReadBack) {
  // Closing the EEPROM behind the tool's back makes the first target's write vanish.
  View.OnLine = [this](const std::string& text) {
    if (text == "Adapting..") Sim->WriteByte(512, 0);
  };
  RunDevice();
  const QJsonObject r = OnlyRecord();
  EXPECT_EQ(r["result"].toString(), "Error occurred");
  EXPECT_EQ(r["source"].toInt(), 1003);
  const QJsonArray targets = r["targets"].toArray();
  ASSERT_EQ(targets.size(), 1);  // the second target is never written
  EXPECT_EQ(targets[0].toObject()["written"].toInt(), 6419);
  EXPECT_NE(targets[0].toObject()["readBack"].toInt(), 6419);
}

TEST_F(RecordTest, EepromSwitchFailureIsRecorded) {
  View.OnLine = [this](const std::string& text) {
    if (text.rfind("Software version: ", 0) == 0) Sim->SetDeviceSilent(true);
  };
  RunDevice();
  const QJsonObject r = OnlyRecord();
  EXPECT_EQ(r["result"].toString(), "Error in writing EEPROM.");
  EXPECT_TRUE(r["source"].isNull());
}

TEST_F(RecordTest, SwitchLeftOnIsRecorded) {
  TSimOptions options;
  options.Faults.LosesSwitchOff = true;
  RunDevice(options);
  const QJsonObject r = OnlyRecord();
  EXPECT_EQ(r["result"].toString(), "OK!");
  EXPECT_EQ(r["eepromSwitchedOff"], QJsonValue(false));
}

TEST_F(RecordTest, RecordIsOnDiskBeforeTheResultIsShown) {
  bool recordedFirst = false;
  View.OnLine = [&](const std::string& text) {
    if (text == "OK!") recordedFirst = ReadBytes(Path).contains("\"result\":\"OK!\"");
  };
  RunDevice();
  EXPECT_TRUE(recordedFirst);
}

TEST_F(RecordTest, UnwritableFolderIsReportedAndTheDeviceStillEndsOk) {
  // A plain file where the record's folder should be: no folder can be made there.
  QFile blocker(Dir.filePath("records"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  RunDevice();
  EXPECT_EQ(View.Outcomes.front(), TDeviceOutcome::Ok);
  ASSERT_EQ(View.Failures.size(), 1u);
  EXPECT_NE(View.Failures.front().find("records"), std::string::npos);
}

// ---- reading -------------------------------------------------------------------

TEST(RecordReader, SkipsDamagedAndCutOffLinesWithoutTouchingTheFile) {
  QTemporaryDir dir;
  const QString path = dir.filePath("r.jsonl");
  TDeviceFacts facts;
  facts.When = QDateTime::currentDateTimeUtc();
  facts.PortNumber = 3;
  facts.DeviceVersion = 2606207;
  facts.Result = "OK!";
  const std::string good = RecordLine(facts);
  const QByteArray text = QByteArray::fromStdString(good) + "{\"time\":\"garbage\n" +
                          QByteArray::fromStdString(good) + "{\"time\":\"2024-05-3";
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(text);
  file.close();
  int skipped = 0;
  EXPECT_EQ(ReadAll(path, &skipped).size(), 2u);
  EXPECT_EQ(skipped, 2);
  EXPECT_EQ(ReadBytes(path), text);

  // A record written after a cut-off line starts a line of its own, so it is not
  // lost in the fragment; the fragment itself stays as it was.
  std::string error;
  ASSERT_TRUE(TCalibrationRecord(path).Append(facts, error)) << error;
  EXPECT_EQ(ReadAll(path, &skipped).size(), 3u);
  EXPECT_EQ(skipped, 2);
  EXPECT_TRUE(ReadBytes(path).startsWith(text));
}

// Two stations appending to one file at the same moment, many records each: every
// record arrives whole, none lost, none mixed into another.
TEST(RecordWriters, TwoWritersStartedTogetherLoseAndMixNothing) {
  QTemporaryDir dir;
  const QString path = dir.filePath("r.jsonl");
  constexpr int kEach = 200;
  std::atomic<bool> go{false};
  auto writer = [&](uint32_t port, std::vector<std::string>* errors) {
    TDeviceFacts facts;
    facts.When = QDateTime::currentDateTimeUtc();
    facts.PortNumber = port;
    facts.PortPath = std::string(300, static_cast<char>('a' + port));  // long lines
    facts.Result = "OK!";
    while (!go) std::this_thread::yield();
    for (int i = 0; i < kEach; ++i) {
      facts.DurationMs = i;
      std::string error;
      if (!TCalibrationRecord(path).Append(facts, error)) errors->push_back(error);
    }
  };
  std::vector<std::string> errorsA, errorsB;
  std::thread a(writer, 1, &errorsA), b(writer, 2, &errorsB);
  go = true;
  a.join();
  b.join();
  EXPECT_TRUE(errorsA.empty() && errorsB.empty());
  int skipped = -1;
  const auto entries = ReadAll(path, &skipped);
  EXPECT_EQ(skipped, 0);
  std::set<std::pair<int, qint64>> seen;
  for (const TRecordEntry& e : entries) {
    const int port = e.Object["port"].toObject()["com"].toInt();
    EXPECT_EQ(e.Object["port"].toObject()["path"].toString().size(), 300);
    seen.emplace(port, e.Object["durationMs"].toInteger());
  }
  EXPECT_EQ(entries.size(), 2u * kEach);
  EXPECT_EQ(seen.size(), 2u * kEach);
}

// A line is a record only when it is one: an object with its time and result whose
// numbers are whole. Text from the file reaches the terminal with its control
// characters escaped.
TEST(RecordReader, NonRecordsAreSkippedAndControlCharactersEscaped) {
  TDeviceFacts facts;
  facts.When = QDateTime::fromString("2024-05-01T08:00:00.000Z", Qt::ISODateWithMs);
  facts.DeviceVersion = 2606207;
  facts.Result = "OK!\x1b[2J";
  std::string good = RecordLine(facts);
  const std::string fraction = QString::fromStdString(good)
                                   .replace("\"version\":2606207", "\"version\":2606207.5")
                                   .toStdString();
  const QByteArray text = QByteArray::fromStdString(good + fraction) +
                          "{}\n[1,2]\n{\"time\":\"2024-05-01T08:00:00Z\"}\n";
  int skipped = 0;
  const auto entries = ParseRecordText(text, &skipped);
  EXPECT_EQ(entries.size(), 1u);
  EXPECT_EQ(skipped, 4);
  const std::string table = HistoryTable(entries);
  EXPECT_EQ(table.find('\x1b'), std::string::npos) << table;
  EXPECT_NE(table.find("OK!\\x1b[2J"), std::string::npos) << table;
  EXPECT_NE(table.find("1 device, 0 OK, 1 error"), std::string::npos) << table;
}

TEST(RecordHistory, TableFiltersAndSummary) {
  auto record = [](const char* time, uint32_t com, const char* path, const char* result) {
    TDeviceFacts facts;
    facts.When = QDateTime::fromString(time, Qt::ISODateWithMs);
    facts.PortNumber = com;
    facts.PortPath = path;
    facts.DeviceVersion = 2606207;
    facts.Source = 1003;
    facts.Targets = {{0x21A8, 6419, 6419}, {0x21C2, 6419, 6419}};
    facts.Result = result;
    return RecordLine(facts);
  };
  const QByteArray text = QByteArray::fromStdString(
      record("2024-05-01T08:00:00.000Z", 33, "/dev/ttyUSB0", "OK!") +
      record("2024-05-02T09:30:00.250Z", 34, "/dev/ttyUSB1", "Error occurred") +
      record("2024-05-03T10:00:00.000Z", 33, "/dev/ttyUSB0", "OK!"));
  const auto entries = ParseRecordText(text);
  const std::string table = HistoryTable(entries);
  EXPECT_NE(table.find("2024-05-02T09:30:00.250Z  COM34 /dev/ttyUSB1  2606207  1003 -> 6419"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("3 devices, 2 OK, 1 error\n"), std::string::npos) << table;

  QDateTime since;
  ASSERT_TRUE(ParseSinceDate("2024-05-02", since));
  EXPECT_EQ(since, QDateTime::fromString("2024-05-02T00:00:00Z", Qt::ISODate));
  EXPECT_FALSE(ParseSinceDate("yesterday", since));
  EXPECT_TRUE(RecordMatchesPort(entries[0].Object, "COM33"));
  EXPECT_TRUE(RecordMatchesPort(entries[0].Object, "33"));
  EXPECT_TRUE(RecordMatchesPort(entries[0].Object, "/dev/ttyUSB0"));
  EXPECT_FALSE(RecordMatchesPort(entries[1].Object, "com33"));
  EXPECT_FALSE(RecordMatchesPort(entries[0].Object, "/dev/ttyUSB1"));
}

// ---- the console ---------------------------------------------------------------

std::string CapturedHistory(const THistoryQuery& query, int& status) {
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  status = RunHistory(query, out, err);
  std::rewind(out);
  std::string text;
  for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
  std::fclose(out);
  std::fclose(err);
  return text;
}

// "--port sim" as calibrator-cli serves it: the program installs its simulated port.
class ConsoleRecord : public ::testing::Test {
 protected:
  void SetUp() override { Previous = SetSimPortMaker(MakeConsoleSimPort); }
  void TearDown() override { SetSimPortMaker(Previous); }
  TBuiltInPortMaker Previous;
};

TEST_F(ConsoleRecord, EachRunAppendsAndHistoryReadsThemBack) {
  QTemporaryDir dir;
  const std::string path = dir.filePath("r.jsonl").toStdString();
  for (int i = 0; i < 2; ++i)
    ASSERT_EQ(
        RunConsole({"--port", "sim", "--record", path, "--timeout", "30", "--color", "never"}),
        ceOk);
  // A crash in the middle of a third write leaves a cut-off line behind.
  {
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("{\"time\":\"2024-05-31T10:");
  }
  int status = -1;
  const std::string table = CapturedHistory({path, "", "", false}, status);
  EXPECT_EQ(status, ceOk);
  EXPECT_NE(table.find("2 devices, 2 OK, 0 errors"), std::string::npos) << table;
  EXPECT_EQ(CapturedHistory({path, "2999-01-01", "", true}, status), "");
  const std::string all = CapturedHistory({path, "2000-01-01", "", true}, status);
  EXPECT_EQ(ParseRecordText(QByteArray::fromStdString(all)).size(), 2u);
  CapturedHistory({path, "not a date", "", false}, status);
  EXPECT_EQ(status, ceUsage);
}

TEST(RecordHistory, NoRecordFileYetIsAnEmptyHistory) {
  QTemporaryDir dir;
  int status = -1;
  EXPECT_EQ(CapturedHistory({dir.filePath("none.jsonl").toStdString(), "", "", false}, status),
            "time  port  device  value  result\n0 devices, 0 OK, 0 errors\n");
  EXPECT_EQ(status, ceOk);
}

TEST_F(ConsoleRecord, UnwritableRecordGivesExitFiveAfterOk) {
  QTemporaryDir dir;
  QFile blocker(dir.filePath("blocker"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  const std::string path = dir.filePath("blocker/r.jsonl").toStdString();
  EXPECT_EQ(RunConsole({"--port", "sim", "--record", path, "--timeout", "30", "--color", "never"}),
            ceRecordNotWritten);
  // --record - turns the record off: nothing to fail.
  EXPECT_EQ(RunConsole({"--port", "sim", "--record", "-", "--timeout", "30", "--color", "never"}),
            ceOk);
}

}  // namespace
