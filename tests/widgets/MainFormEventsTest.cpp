// The main window's handlers with events delivered in the middle of them (the log, the
// drop-down and the stop of a driver process pending events), and the user's picks.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QTimer>
#include <memory>

#include "app/widgets/MainForm.h"
#include "serial/PortMap.h"
#include "serial/RS232Tools.h"
#include "serial/SerialPort.h"
#include "serial/VirtualLine.h"
#include "sim/Simulator.h"
#include "tests/widgets/MainFormTestSupport.h"

namespace {

constexpr int UnmappedPort = 250;

// A window with the simulated device on a port and the unprobed list (item n = Com n).
class MainWindowEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    Number = Sim.RegisterAsPort();
    ASSERT_GT(Number, 0);
    ASSERT_EQ(ProbePort(UnmappedPort), -1);  // nothing to open there, on any platform
    Form.show();
    Form.ScanPortsCheckBox->setChecked(false);
    Form.RebuildPortList();
  }
  // Runs `nested` once, from inside the next log line that `outer` writes.
  void NestInFirstLogLine(const std::function<void()>& outer, const std::function<void()>& nested) {
    bool done = false;
    const auto hook = QObject::connect(Form.LogView, &QTextEdit::textChanged, [&] {
      if (done) return;
      done = true;
      EXPECT_TRUE(Form.Cycle().InHandler());
      nested();
    });
    outer();
    QObject::disconnect(hook);
    ASSERT_TRUE(done);
  }
  QString Trying(int n) const { return QString("Trying to connect at COM%1").arg(n); }
  QString Failed(int n) const { return QString("Error opening port: COM%1").arg(n); }

  TSimulation Sim;  // outlives the window, which may still hold its port
  int Number = 0;
  TMainForm Form;
};

TEST_F(MainWindowEvents, ChoiceWhileAPortOpensRunsAfterItWithoutLosingALine) {
  // The outer port fails to open; the nested choice must not eat its error line.
  NestInFirstLogLine([&] { Choose(Form, UnmappedPort); }, [&] { Choose(Form, Number); });
  EXPECT_EQ(CountLines(Form.LogView, Failed(UnmappedPort)), 1);
  EXPECT_EQ(CountLines(Form.LogView, Trying(Number)), 1);
  const QString log = Form.LogView->toPlainText();
  EXPECT_LT(log.indexOf(Failed(UnmappedPort)), log.indexOf(Trying(Number)));
  ASSERT_NE(Form.Cycle().Port(), nullptr);
  EXPECT_EQ(Form.Cycle().Port()->PortNumber(), static_cast<uint32_t>(Number));
  EXPECT_EQ(Form.ComPortComboBox->currentIndex(), Number);
  EXPECT_TRUE(Form.Cycle().TimerEnabled());

  // The other way round: the open port is released by the later choice that fails.
  NestInFirstLogLine([&] { Choose(Form, Number); }, [&] { Choose(Form, UnmappedPort); });
  EXPECT_EQ(CountLines(Form.LogView, Trying(Number)), 2);
  EXPECT_EQ(CountLines(Form.LogView, Failed(UnmappedPort)), 2);
  EXPECT_EQ(Form.Cycle().Port(), nullptr);
  EXPECT_EQ(Form.ComPortComboBox->currentIndex(), 0);
  EXPECT_FALSE(Form.Cycle().TimerEnabled());
}

TEST_F(MainWindowEvents, CloseWhileAPortOpensClosesWhenTheChoiceIsDone) {
  NestInFirstLogLine([&] { Choose(Form, Number); }, [&] { EXPECT_FALSE(Form.close()); });
  EXPECT_EQ(CountLines(Form.LogView, Trying(Number)), 1);
  EXPECT_FALSE(Form.isVisible());
  EXPECT_EQ(Form.Cycle().Port(), nullptr);
  EXPECT_EQ(Form.Cycle().Variable(), nullptr);
}

TEST_F(MainWindowEvents, ChoiceDuringACalibrationRunsAfterItAndTheListShowsIt) {
  Choose(Form, Number);
  bool chosen = false;
  const auto hook = QObject::connect(Form.LogView, &QTextEdit::textChanged, [&] {
    if (chosen || !Form.LogView->toPlainText().endsWith("Adapting..")) return;
    chosen = true;
    Choose(Form, Number);  // the same port again, for the next device
    EXPECT_NE(Form.Cycle().Driver(), nullptr);
  });
  TickUntil(Form, [&] { return FindLine(Form.LogView, "OK!"); });
  QObject::disconnect(hook);
  ASSERT_TRUE(chosen);
  EXPECT_EQ(Sim.ReadWord(0x21C2), 6419);
  // The device's end selected "Select com port"; then the waiting choice opened the port.
  EXPECT_EQ(CountLines(Form.LogView, Trying(Number)), 2);
  ASSERT_NE(Form.Cycle().Port(), nullptr);
  EXPECT_EQ(Form.ComPortComboBox->currentIndex(), Number);
}

TEST_F(MainWindowEvents, ChoiceAndCloseDuringTheDropDownWaitForTheNewList) {
  // The list is rebuilt with probing: the chosen port moves to another item.
  Form.ScanPortsCheckBox->setChecked(true);
  QTimer::singleShot(0, &Form, [&] {
    EXPECT_TRUE(Form.Cycle().InHandler());
    Choose(Form, Number);  // an item of the list as it was when the user picked
  });
  Form.RebuildPortList();
  ASSERT_NE(Form.Cycle().Port(), nullptr);
  EXPECT_EQ(Form.Cycle().Port()->PortNumber(), static_cast<uint32_t>(Number));
  EXPECT_NE(Form.ComPortComboBox->currentIndex(), Number);
  EXPECT_TRUE(Form.ComPortComboBox->currentText().startsWith(QString("Com %1").arg(Number)));

  QTimer::singleShot(0, &Form, [&] { EXPECT_FALSE(Form.close()); });
  Form.RebuildPortList();
  EXPECT_FALSE(Form.isVisible());
  EXPECT_EQ(Form.Cycle().Port(), nullptr);
}

TEST_F(MainWindowEvents, PickingSelectFromTheOpenListStopsTrying) {
  auto line = std::make_shared<TVirtualLine>(false);  // nothing answers: marks go on
  const int silent = RegisterVirtualPortAnywhere(line);
  Form.RebuildPortList();
  ASSERT_TRUE(PickFromPopup(Form, silent));
  EXPECT_EQ(CountLines(Form.LogView, Trying(silent)), 1);
  Form.TestConnection();
  Form.TestConnection();
  ASSERT_TRUE(Form.LogView->toPlainText().endsWith("* * "));
  ASSERT_TRUE(PickFromPopup(Form, 0));
  EXPECT_EQ(Form.Cycle().Port(), nullptr);
  EXPECT_FALSE(Form.Cycle().TimerEnabled());
  const QString before = Form.LogView->toPlainText();
  Form.Cycle().Timer().start();  // even a late tick adds no mark
  Form.TestConnection();
  EXPECT_EQ(Form.LogView->toPlainText(), before);
  UnregisterVirtualPort(silent);
}

TEST_F(MainWindowEvents, TheListShowsTheChosenPortsDevice) {
  ASSERT_TRUE(PickFromPopup(Form, Number));
  ASSERT_NE(Form.Cycle().Port(), nullptr);
  EXPECT_EQ(Form.ComPortComboBox->toolTip().toStdString(), PortPath(Number));
  ASSERT_TRUE(PickFromPopup(Form, 0));
  EXPECT_TRUE(Form.ComPortComboBox->toolTip().isEmpty());
}

TEST_F(MainWindowEvents, ArrowKeysOnTheClosedListPickEachStep) {
  Form.ComPortComboBox->setCurrentIndex(Number - 1);
  Form.ComPortComboBox->setFocus();
  QTest::keyClick(Form.ComPortComboBox, Qt::Key_Down);
  ASSERT_NE(Form.Cycle().Port(), nullptr);
  QTest::keyClick(Form.ComPortComboBox, Qt::Key_Up);
  EXPECT_EQ(Form.Cycle().Port(), nullptr);  // Com (n-1) is not mapped
  EXPECT_EQ(CountLines(Form.LogView, Trying(Number)), 1);
  EXPECT_EQ(CountLines(Form.LogView, Failed(Number - 1)), 1);
}

}  // namespace
