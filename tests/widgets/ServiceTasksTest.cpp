// The window's tasks beside the calibration: the menu's availability while the
// calibration holds a port, an update run from the window against the simulated
// device (log, record, carried-over words), and the states of each task's dialog.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "app/CalibrationCycle.h"
#include "app/widgets/MainForm.h"
#include "app/widgets/ServiceMenu.h"
#include "app/widgets/TaskDialogs.h"
#include "sim/Simulator.h"
#include "support/StopRequest.h"
#include "tests/common/ProgramUnits.h"
#include "tests/firmware/UpdaterTestSupport.h"

namespace {

using namespace std::chrono_literals;

class TLogView : public TCycleView {
 public:
  void AddLog(const std::string& text, bool, uint32_t colour, TLogStyle, bool) override {
    Lines.push_back({text, colour});
  }
  void SelectPortItem(int) override {}
  bool Has(const std::string& text, uint32_t colour) const {
    for (const auto& line : Lines)
      if (line.first == text && line.second == colour) return true;
    return false;
  }
  std::vector<std::pair<std::string, uint32_t>> Lines;
};

TSimOptions Inverter() {
  TSimOptions options;
  options.DeviceVersion = 2001203;
  options.DeviceBootLoaderFirmwareVersion = 114;
  options.HeartbeatMs = 0;
  return options;
}

// The window's tasks beside a cycle, with a record of their own and the simulated
// inverter/charger on a port; the firmware file loaded.
struct TWindowUpdate {
  TWindowUpdate() {
    std::string summary;
    EXPECT_TRUE(Tasks.LoadFirmware(WriteInverterFile(Dir.path()), summary)) << summary;
  }
  ~TWindowUpdate() { UnregisterVirtualPort(Number); }
  TWindowUpdate(const TWindowUpdate&) = delete;
  TWindowUpdate& operator=(const TWindowUpdate&) = delete;
  TUpdateResult Run() { return Tasks.RunUpdate(static_cast<uint32_t>(Number)); }
  // The only record written.
  QJsonObject Recorded() const {
    std::vector<TRecordEntry> entries;
    std::string error;
    EXPECT_TRUE(ReadRecordFile(Record.Path(), entries, nullptr, error)) << error;
    EXPECT_EQ(entries.size(), 1u);
    return entries.empty() ? QJsonObject() : entries[0].Object;
  }

  QTemporaryDir Dir;
  TLogView View;
  TCalibrationCycle Cycle{View};
  const TCalibrationRecord Record{Dir.filePath(QStringLiteral("record.jsonl"))};
  TServiceTasks Tasks{Cycle, Record};
  TSimulation Sim{Inverter()};
  const int Number = Sim.RegisterAsPort();
};

TEST(ServiceTasks, AnUpdateFromTheWindowIsLoggedRecordedAndCarriesTheCalibrationOver) {
  TWindowUpdate update;
  const TUpdateResult result = update.Run();
  EXPECT_TRUE(result.Ok) << result.Text;
  EXPECT_EQ(result.Text, "Firmware updated.");
  EXPECT_TRUE(update.View.Has("Firmware updated.", lcGreen));
  EXPECT_EQ(update.Sim.ReadWord(0x21A8), 6419);
  EXPECT_EQ(update.Sim.ReadWord(0x21C2), 6419);
  const QJsonObject recorded = update.Recorded();
  EXPECT_EQ(recorded.value("result").toString(), QStringLiteral("Firmware updated."));
  EXPECT_EQ(recorded.value("device").toObject().value("version").toInt(), 2001250);
  EXPECT_EQ(recorded.value("port").toObject().value("com").toInt(), update.Number);

  // A second run without a loaded file starts nothing.
  EXPECT_FALSE(update.Run().Ok);
}

// Something happens while the device is programmed: a signal to the program stops
// the update between two lines, a pulled adapter ends it naming the lost port. Either
// way the device waits in its boot loader and the record says why.
TEST(ServiceTasks, AnUpdateFromTheWindowEndsAtASafePointOnAStopOrALostPort) {
  const struct {
    const char* Name;
    std::function<void(TSimulation&)> Happen;
    std::string Expected;
  } cases[] = {
      {"a request to terminate", [](TSimulation&) { RequestStop(TStopCause::Terminate); },
       "Update stopped."},
      {"the adapter pulled", [](TSimulation& sim) { sim.Vanish(); }, " lost during the update"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TWindowUpdate update;
    std::atomic<bool> done{false};
    std::thread during([&] {
      while (!done && update.Sim.Stats().DeviceLines < 3) std::this_thread::sleep_for(2ms);
      if (!done) c.Happen(update.Sim);
    });
    const TUpdateResult result = update.Run();
    done = true;
    during.join();
    ClearStopRequest();
    EXPECT_FALSE(result.Ok);
    EXPECT_NE(result.Text.find(c.Expected), std::string::npos) << result.Text;
    EXPECT_TRUE(update.View.Has(result.Text, lcRed));
    EXPECT_TRUE(update.Sim.DeviceInBootLoader());
    EXPECT_EQ(update.Recorded().value("result").toString().toStdString(), result.Text);
  }
}

// One port, one task: while the calibration holds a port the tasks that need one are
// off; the history stays available.
TEST(ServiceTasks, TasksNeedingAPortAreOffWhileTheCalibrationHoldsOne) {
  TSimOptions options;
  options.Faults.DeviceSilent = true;  // the cycle keeps trying
  TSimulation sim(options);
  const int number = sim.RegisterAsPort();
  TMainForm form;
  TServiceMenu& menu = *form.ServiceMenu();
  EXPECT_TRUE(menu.UpdateAction->isEnabled());
  form.Cycle().ChoosePortNumber(static_cast<uint32_t>(number));
  ASSERT_TRUE(menu.Tasks().CalibrationRunning());
  EXPECT_TRUE(QTest::qWaitFor([&] { return !menu.UpdateAction->isEnabled(); }, 2000));
  EXPECT_FALSE(menu.CheckAction->isEnabled());
  EXPECT_TRUE(menu.HistoryAction->isEnabled());
  EXPECT_FALSE(menu.Tasks().StartAdapterCheck(static_cast<uint32_t>(number)));
  form.Cycle().ChoosePortItem(0);
  EXPECT_TRUE(QTest::qWaitFor([&] { return menu.UpdateAction->isEnabled(); }, 2000));
  EXPECT_TRUE(menu.CheckAction->isEnabled());
  UnregisterVirtualPort(number);
}

TEST(TaskDialogs, TheSummaryOffersTheUpdateOnlyWithAPort) {
  TFirmwareSummaryDialog none(QStringLiteral("File: x.kff"), {});
  EXPECT_FALSE(none.UpdateButton->isEnabled());
  TFirmwareSummaryDialog two(QStringLiteral("File: x.kff"), {{3, "Com 3"}, {200, "Com 200"}});
  EXPECT_TRUE(two.UpdateButton->isEnabled());
  EXPECT_EQ(two.ChosenPort(), 3u);
  two.Ports->setCurrentIndex(1);
  EXPECT_EQ(two.ChosenPort(), 200u);
}

TEST(TaskDialogs, TheAdapterCheckShowsTheTableTheVerdictAndWhatToDo) {
  TLogView view;
  TCalibrationCycle cycle(view);
  const TCalibrationRecord record(QStringLiteral("unused.jsonl"));
  TServiceTasks tasks(cycle, record);
  TAdapterCheckDialog dialog(tasks);
  TLoopbackReport passed{true,
                         {{2400, "bytes unchanged (0xFF incl.)", TCheckResult::crPassed, {}}}};
  TLoopbackReport failed = passed;
  failed.Rows.push_back(
      {1200, "mark parity echo", TCheckResult::crFailed, "the driver has no mark parity"});
  const struct {
    const char* Name;
    TLoopbackReport Report;
    QString PortError;
    int Rows;
    const char* Verdict;  // a part of it
    const char* Advice;   // a part of it; empty: no advice
  } cases[] = {
      {"port error", {}, QStringLiteral("Error opening port: COM7"), 0, "COM7", ""},
      {"no plug", {}, {}, 0, "No loopback plug", ""},
      {"a failed row", failed, {}, 2, "This adapter", "1200 mark parity echo: "},
      {"all passed", passed, {}, 1, "This adapter", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    dialog.ShowReport(c.Report, c.PortError);
    ASSERT_EQ(dialog.Table->rowCount(), c.Rows);
    if (c.Rows == 2) {
      EXPECT_EQ(dialog.Table->item(1, 2)->text(), QStringLiteral("FAILED"));
    }
    EXPECT_TRUE(dialog.Verdict->text().contains(QLatin1String(c.Verdict)))
        << dialog.Verdict->text().toStdString();
    const QString advice = dialog.Advice->text();
    EXPECT_EQ(advice.isEmpty(), !*c.Advice) << advice.toStdString();
    EXPECT_TRUE(advice.contains(QLatin1String(c.Advice))) << advice.toStdString();
  }
}

TEST(TaskDialogs, TheHistoryFiltersByDateAndPortAndSkipsDamagedLines) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath(QStringLiteral("record.jsonl"));
  THistoryDialog empty(path);
  EXPECT_EQ(empty.Table->rowCount(), 0);
  EXPECT_TRUE(empty.Summary->text().startsWith(QStringLiteral("Nothing has been recorded yet")));
  {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(
        R"({"time":"2026-11-30T10:00:00.000Z","port":{"com":3},"device":{"version":2606207},"source":1003,"targets":[{"written":6419}],"result":"OK!"})"
        "\n"
        R"({"time":"2026-12-02T10:00:00.000Z","port":{"com":3},"device":{"version":2001250},"result":"Firmware updated."})"
        "\n{\"time\":\"2026-12-0\n"
        R"({"time":"2026-12-03T10:00:00.000Z","port":{"com":200,"path":"/dev/pts/4"},"device":{"version":2606150},"result":"Error occurred"})"
        "\n");
  }
  THistoryDialog dialog(path);
  EXPECT_EQ(dialog.Port->count(), 3);  // all ports, COM3, COM200
  const struct {
    bool FromOn;
    QDate From;
    int PortItem;
    int Rows;
  } cases[] = {
      {false, {}, 0, 3},
      {false, {}, 1, 2},
      {false, {}, 2, 1},
      {true, QDate(2026, 12, 1), 0, 2},
      {true, QDate(2026, 12, 1), 1, 1},
      {true, QDate(2026, 12, 4), 0, 0},
  };
  for (const auto& c : cases) {
    dialog.FromEnabled->setChecked(c.FromOn);
    if (c.FromOn) dialog.From->setDate(c.From);
    dialog.Port->setCurrentIndex(c.PortItem);
    EXPECT_EQ(dialog.Table->rowCount(), c.Rows)
        << c.FromOn << " " << c.From.toString().toStdString() << " " << c.PortItem;
  }
  dialog.FromEnabled->setChecked(false);
  dialog.Port->setCurrentIndex(0);
  EXPECT_EQ(dialog.Table->item(0, 3)->text(), QStringLiteral("1003 -> 6419"));
  EXPECT_TRUE(dialog.Summary->text().contains(QStringLiteral("1 damaged line")));
  EXPECT_TRUE(dialog.Summary->text().startsWith(QStringLiteral("3 shown, 1 OK, 2 other")));
  // A table of at most two rows keeps the newest two and still counts all three.
  THistoryDialog bounded(path, nullptr, 2);
  ASSERT_EQ(bounded.Table->rowCount(), 2);
  EXPECT_EQ(bounded.Table->item(1, 4)->text(), QStringLiteral("Error occurred"));
  EXPECT_TRUE(bounded.Summary->text().startsWith(QStringLiteral("3 shown, 1 OK, 2 other")));
  EXPECT_TRUE(bounded.Summary->text().contains(QStringLiteral("only the newest 2")));
}

}  // namespace
