#pragma once
// The window's menu of the technician's tasks beside the calibration: "Update device
// firmware...", "Check adapter...", "Calibration history..." and "About". The tasks
// are disabled while the calibration holds a port; the window asks here before it
// closes, so that a running update is not cut off unasked.

#include <QObject>
#include <QPointer>

#include "app/ServiceTasks.h"

class QAction;
class QMenuBar;
class QWidget;
class TCalibrationCycle;
class TCalibrationRecord;

class TServiceMenu : public QObject {
  Q_OBJECT

 public:
  TServiceMenu(QWidget& window, TCalibrationCycle& cycle, const TCalibrationRecord& record);
  ~TServiceMenu() override;

  QMenuBar* Bar() const { return FBar; }
  TServiceTasks& Tasks() { return FTasks; }
  // False when the window must stay open for now: a task runs (an update is asked to
  // stop first, with what that leaves explained); the window closes when it ends.
  bool MayClose();

  QAction* UpdateAction = nullptr;
  QAction* CheckAction = nullptr;
  QAction* HistoryAction = nullptr;
  QAction* AboutAction = nullptr;

 private:
  void UpdateFirmware();
  void CheckAdapter();
  void ShowHistory();
  void ShowAbout();
  void EnableTasks(bool mayStart);
  void CloseIfAsked();

  QWidget& Window;
  TServiceTasks FTasks;
  QMenuBar* FBar = nullptr;
  bool CloseWhenDone = false;
};
