#pragma once
// The dialogs of the technician's tasks beside the calibration: the firmware file's
// summary with the port to update on, the adapter check and the calibration history.
// They show what TServiceTasks and the record reader give and forward the choices.

#include <QDialog>
#include <QString>
#include <cstdint>
#include <vector>

#include "app/CalibrationRecord.h"
#include "app/ServiceTasks.h"

class QCheckBox;
class QComboBox;
class QDateEdit;
class QDialogButtonBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;

// Fills a combo with the ports (the number as item data); false when there is none.
bool FillPortCombo(QComboBox& combo, const std::vector<TPortChoice>& ports);

// What a firmware file holds, and the port to update the device on.
class TFirmwareSummaryDialog : public QDialog {
  Q_OBJECT

 public:
  TFirmwareSummaryDialog(const QString& summary, const std::vector<TPortChoice>& ports,
                         QWidget* parent = nullptr);
  uint32_t ChosenPort() const;

  QPlainTextEdit* Summary = nullptr;
  QComboBox* Ports = nullptr;
  QPushButton* UpdateButton = nullptr;
};

// The loopback self-test on a chosen port: its table, the verdict in words and what
// to do about each failed row.
class TAdapterCheckDialog : public QDialog {
  Q_OBJECT

 public:
  TAdapterCheckDialog(TServiceTasks& tasks, QWidget* parent = nullptr);
  void ShowReport(const TLoopbackReport& report, const QString& portError);

  QComboBox* Ports = nullptr;
  QPushButton* CheckButton = nullptr;
  QTableWidget* Table = nullptr;
  QLabel* Verdict = nullptr;
  QLabel* Advice = nullptr;

 private:
  void StartCheck();
  void GrowToFit();
  TServiceTasks& Tasks;
};

// The calibration record's table, filtered by date and port. The record file is read
// as a stream and the table keeps only the newest `maxRows` of the records the filter
// lets through, so that a file of any size is shown in bounded memory; the summary
// counts them all.
class THistoryDialog : public QDialog {
  Q_OBJECT

 public:
  static constexpr int DefaultMaxRows = 10000;
  explicit THistoryDialog(const QString& recordPath, QWidget* parent = nullptr,
                          int maxRows = DefaultMaxRows);
  // Reads the record file again and shows what the filter keeps.
  void Reload();

  QCheckBox* FromEnabled = nullptr;
  QDateEdit* From = nullptr;
  QComboBox* Port = nullptr;
  QTableWidget* Table = nullptr;
  QLabel* Summary = nullptr;
  QPushButton* OpenFolder = nullptr;

 private:
  void ShowRecords();
  QString Path;
  int MaxRows;
  bool NoFile = false;
  qint64 End = -1;  // where the last reload stopped reading
  int Skipped = 0;
  QString ReadError;
};
