// The main window under Qt's offscreen platform, against the simulator.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QTextEdit>
#include <memory>

#include "app/PortReturn.h"
#include "app/widgets/MainForm.h"
#include "serial/PortMap.h"
#include "sim/Simulator.h"
#include "tests/common/ProgramUnits.h"
#include "tests/widgets/MainFormTestSupport.h"

namespace {

void RunTicks(TMainForm& form, int count) {
  for (int i = 0; i < count && form.Cycle().Driver() == nullptr && form.Cycle().Port(); ++i)
    form.TestConnection();
}

TEST(MainWindow, StartsWithItsTextsAndInstructions) {
  TMainForm form;
  EXPECT_EQ(form.windowTitle(), "Calibration for 0A8-0AF");
  EXPECT_EQ(form.VersionLabel->text(), "program version 9007119.4");
  EXPECT_EQ(form.ComPortComboBox->currentText(), "Select com port");
  EXPECT_TRUE(form.ScanPortsCheckBox->isChecked());
  EXPECT_TRUE(form.LogView->isReadOnly());
  EXPECT_TRUE(form.LogView->toPlainText().startsWith("1) Connect BX2 (or similar) to orvo"));
}

TEST(MainWindow, ListWithoutProbingHoldsEveryPort) {
  TMainForm form;
  form.ScanPortsCheckBox->setChecked(false);
  form.RebuildPortList();
  ASSERT_EQ(form.ComPortComboBox->count(), 257);
  EXPECT_EQ(form.ComPortComboBox->itemText(1), "Com 1");
  EXPECT_EQ(form.ComPortComboBox->itemText(256), "Com 256");
  EXPECT_EQ(form.ComPortComboBox->currentIndex(), 0);
}

TEST(MainWindow, CalibratesTheSimulatedDeviceWithColouredLines) {
  TSimulation sim;
  const int number = sim.RegisterAsPort();
  TMainForm form;
  form.ScanPortsCheckBox->setChecked(false);
  form.RebuildPortList();
  Choose(form, number);
  EXPECT_TRUE(FindLine(form.LogView, QString("Trying to connect at COM%1").arg(number)));
  for (int i = 0; i < 40 && form.ComPortComboBox->currentIndex() != 0; ++i) form.TestConnection();
  QTextCharFormat ok;
  ASSERT_TRUE(FindLine(form.LogView, "OK!", &ok));
  EXPECT_EQ(ok.foreground().color(), QColor(0, 0x80, 0));
  EXPECT_EQ(ok.fontWeight(), QFont::Bold);
  QTextCharFormat plain;
  ASSERT_TRUE(FindLine(form.LogView, "Adapting..", &plain));
  EXPECT_EQ(plain.foreground().color(), QColor(0, 0, 0));
  EXPECT_NE(plain.fontWeight(), QFont::Bold);
  EXPECT_EQ(form.ComPortComboBox->currentText(), "Select com port");
  EXPECT_EQ(sim.ReadWord(0x21A8), 6419);
  EXPECT_EQ(form.Cycle().Port(), nullptr);
  UnregisterVirtualPort(number);
}

// The loss of the port is a red line; the device it led to shows where the pointer
// rests on it.
TEST(MainWindow, ALostPortIsARedLineNamingItsDevice) {
  TSimulation sim;
  const int number = sim.RegisterAsPort();
  TMainForm form;
  form.ScanPortsCheckBox->setChecked(false);
  form.RebuildPortList();
  Choose(form, number);
  sim.Vanish();
  const QString lost = QString::fromStdString(PortLostText(static_cast<uint32_t>(number)));
  for (int i = 0; i < 20 && !FindLine(form.LogView, lost); ++i) form.TestConnection();
  QTextCharFormat format;
  ASSERT_TRUE(FindLine(form.LogView, lost, &format));
  EXPECT_EQ(format.foreground().color(), QColor(255, 0, 0));
  EXPECT_EQ(format.toolTip(), QString::fromStdString(PortPath(number)));
}

TEST(MainWindow, LogKeepsAppendingAtItsTrueEnd) {
  TMainForm form;
  const std::string chunk(1000, 'x');
  for (int i = 0; i < 70; ++i) form.AddLog(chunk, true, lcBlack, TLogStyle::Regular, false);
  form.AddLog("* ", false, lcBlack, TLogStyle::Regular, false);
  EXPECT_GT(form.LogView->toPlainText().size(), 65535);
  EXPECT_TRUE(form.LogView->toPlainText().endsWith(QString::fromStdString(chunk) + "* "));
}

TEST(MainWindow, CloseDuringATickWaitsAndThenCloses) {
  TSimulation sim;
  const int number = sim.RegisterAsPort();
  TMainForm form;
  form.show();
  form.ScanPortsCheckBox->setChecked(false);
  form.RebuildPortList();
  bool closeAsked = false;
  // Close the window from inside the tick, when the log shows the correction has begun.
  QObject::connect(form.LogView, &QTextEdit::textChanged, [&] {
    if (!closeAsked && form.LogView->toPlainText().endsWith("Adapting..")) {
      closeAsked = true;
      EXPECT_FALSE(form.close());  // deferred: the tick still uses the driver
      EXPECT_NE(form.Cycle().Driver(), nullptr);
    }
  });
  Choose(form, number);
  for (int i = 0; i < 40 && !closeAsked; ++i) form.TestConnection();
  ASSERT_TRUE(closeAsked);
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(form.Cycle().Driver(), nullptr);
  EXPECT_EQ(form.Cycle().Variable(), nullptr);
  EXPECT_TRUE(FindLine(form.LogView, "OK!"));
  UnregisterVirtualPort(number);
}

TEST(MainWindow, ChoosingSelectClosesThePortAndStopsTrying) {
  auto line = std::make_shared<TVirtualLine>(false);
  const int number = RegisterVirtualPortAnywhere(line);
  TMainForm form;
  form.ScanPortsCheckBox->setChecked(false);
  form.RebuildPortList();
  Choose(form, number);
  EXPECT_NE(form.Cycle().Port(), nullptr);
  RunTicks(form, 1);
  Choose(form, 0);
  EXPECT_EQ(form.Cycle().Port(), nullptr);
  EXPECT_FALSE(form.Cycle().TimerEnabled());
  UnregisterVirtualPort(number);
}

}  // namespace
