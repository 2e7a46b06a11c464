#pragma once
// The technician's tasks beside the calibration: a device's firmware update from a
// file, the adapter check with a loopback plug, and the calibration history. The
// window's menu and dialogs only show and forward; this object holds the state and
// does the work. One port, one task: no task starts while the calibration holds a
// port, and only one task runs at a time. Main thread only (the adapter check runs
// its port on a thread of its own and reports back here).

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QThread>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "serial/Loopback.h"

class TCalibrationCycle;
class TCalibrationRecord;
class TReprogramBuffer;

enum class TServiceTask { stNone, stUpdate, stAdapterCheck };

struct TPortChoice {
  uint32_t Number = 0;
  std::string Caption;  // "Com 3"
};

struct TUpdateResult {
  bool Ok = false;
  std::string Text;  // "Firmware updated." or why not
};

class TServiceTasks : public QObject {
  Q_OBJECT

 public:
  TServiceTasks(TCalibrationCycle& cycle, const TCalibrationRecord& record,
                QObject* parent = nullptr);
  ~TServiceTasks() override;

  // The calibration holds a port (trying it, or talking to a device on it).
  bool CalibrationRunning() const;
  TServiceTask Running() const { return FRunning; }
  bool MayStartTask() const { return FRunning == TServiceTask::stNone && !CalibrationRunning(); }

  // The ports to offer (probing each when `probe`).
  std::vector<TPortChoice> ListPorts(bool probe) const;

  // ---- firmware update ----
  // The folder the last firmware file was chosen in (per-user settings), or empty.
  QString FirmwareFolder() const;
  void RememberFirmwareFolder(const QString& file);
  // Reads and checks a firmware file and keeps it for RunUpdate. True with the
  // summary in `text`; false with why the file is refused.
  bool LoadFirmware(const QString& path, std::string& text);
  // Updates the device on `portNumber` from the loaded file: the log shows the start
  // and the end, the calibration record gets the result. The updater's questions and
  // progress go through the dialog point and the progress displays.
  TUpdateResult RunUpdate(uint32_t portNumber);
  // Asks a running update to stop at its next safe point (between two steps or two
  // lines of the programming).
  void RequestStop() { FStopRequested = true; }
  bool StopRequested() const { return FStopRequested; }

  // ---- adapter check ----
  // Starts the loopback self-test on `portNumber`; AdapterChecked follows. False when
  // a task or the calibration is running.
  bool StartAdapterCheck(uint32_t portNumber);

  // ---- history ----
  const TCalibrationRecord& Record() const { return FRecord; }

 signals:
  // Whether a task may start has changed (a calibration or a task began or ended).
  void AvailabilityChanged(bool mayStart);
  // The adapter check ended (its verdict is in the log); `portError` is set when the
  // port could not be opened.
  void AdapterChecked(const TLoopbackReport& report, const QString& portError);

 private:
  void SetRunning(TServiceTask task);
  void WatchCalibration();
  void AdapterCheckEnded();
  void Log(const std::string& text, uint32_t colour, bool bold);

  TCalibrationCycle& FCycle;
  const TCalibrationRecord& FRecord;
  TServiceTask FRunning = TServiceTask::stNone;
  bool FStopRequested = false;
  bool FMayStart = true;
  QTimer FWatch;  // the calibration holds and frees its port without telling
  QString FFirmwarePath;
  std::unique_ptr<TReprogramBuffer> FBuffer;
  std::unique_ptr<QThread> FCheckThread;
  TLoopbackReport FCheckReport;
  QString FCheckError;
  uint32_t FCheckPort = 0;
};
