#pragma once
// TMainForm: the tool's one window. It shows what the calibration cycle logs and hands
// the user's port choices to it; the work itself lives in TCalibrationCycle.

#include <QComboBox>
#include <QWidget>
#include <functional>
#include <memory>

#include "app/CalibrationCycle.h"

class QCheckBox;
class QLabel;
class QTextEdit;
class TServiceMenu;

// A combo that tells before its list opens, so the list can be rebuilt first.
class TPortComboBox : public QComboBox {
  Q_OBJECT
 public:
  using QComboBox::QComboBox;
  std::function<void()> OnDropDown;
  void showPopup() override;
};

class TMainForm : public QWidget, public TCycleView {
  Q_OBJECT

 public:
  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;

  // The handlers of the window: its start, its end (frees the cycle's variable, driver
  // and port), a port choice, the port list opening, and the cycle's timer tick.
  void Initialise();
  void ShutdownCycle();
  void SetComPort();
  void RebuildPortList();
  void TestConnection();

  // TCycleView
  void AddLog(const std::string& text, bool newLine, uint32_t colour, TLogStyle style,
              bool bullets) override;
  void SelectPortItem(int index) override;
  void RecordNotWritten(const std::string& path, const std::string& reason) override;
  void PortLost(uint32_t portNumber, const std::string& path) override;

  TCalibrationCycle& Cycle() { return *FCycle; }
  TServiceMenu* ServiceMenu() const { return FServiceMenu.get(); }
  TPortComboBox* ComPortComboBox = nullptr;
  QCheckBox* ScanPortsCheckBox = nullptr;
  QLabel* LogHeading = nullptr;  // "Progress", above the log
  QTextEdit* LogView = nullptr;  // the coloured log every step writes to
  QLabel* VersionLabel = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  void ShowChosenPath();
  std::unique_ptr<TCalibrationCycle> FCycle;
  TCalibrationRecord FRecord{DefaultRecordPath()};
  std::unique_ptr<TServiceMenu> FServiceMenu;  // freed before the cycle it watches
  bool RecordWarningShown = false;             // the warning comes once, not per device
  bool Closed = false;
};
