#include "app/widgets/ServiceMenu.h"

#include <QAction>
#include <QFileDialog>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QTimer>

#include "app/CalibrationCycle.h"
#include "app/CalibrationRecord.h"
#include "app/widgets/QtDialogs.h"
#include "app/widgets/TaskDialogs.h"
#include "support/ProgramVersion.h"
#include "support/StopRequest.h"

namespace {

constexpr const char* NotWhileCalibrating =
    "Not while a calibration holds a port: choose \"Select com port\" first.";

QString Text(const std::string& text) {
  return QString::fromStdString(text);
}

}  // namespace

TServiceMenu::TServiceMenu(QWidget& window, TCalibrationCycle& cycle,
                           const TCalibrationRecord& record)
    : Window(window), FTasks(cycle, record) {
  FBar = new QMenuBar(&window);
  QMenu* tasks = FBar->addMenu(QStringLiteral("&Tasks"));
  UpdateAction = tasks->addAction(QStringLiteral("&Update device firmware..."), this,
                                  [this] { UpdateFirmware(); });
  UpdateAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_U));
  CheckAction =
      tasks->addAction(QStringLiteral("&Check adapter..."), this, [this] { CheckAdapter(); });
  CheckAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_K));
  tasks->addSeparator();
  HistoryAction =
      tasks->addAction(QStringLiteral("Calibration &history..."), this, [this] { ShowHistory(); });
  HistoryAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
  QMenu* help = FBar->addMenu(QStringLiteral("&Help"));
  AboutAction = help->addAction(QStringLiteral("&About"), this, [this] { ShowAbout(); });
  AboutAction->setShortcut(QKeySequence(Qt::Key_F1));
  // The shortcuts work wherever the focus is in the window.
  for (QAction* action : {UpdateAction, CheckAction, HistoryAction, AboutAction})
    window.addAction(action);
  connect(&FTasks, &TServiceTasks::AdapterChecked, this, [this] { CloseIfAsked(); });
  connect(&FTasks, &TServiceTasks::AvailabilityChanged, this,
          [this](bool mayStart) { EnableTasks(mayStart); });
  EnableTasks(FTasks.MayStartTask());
}

TServiceMenu::~TServiceMenu() = default;

void TServiceMenu::EnableTasks(bool mayStart) {
  for (QAction* action : {UpdateAction, CheckAction}) {
    action->setEnabled(mayStart);
    action->setStatusTip(mayStart ? QString() : QString::fromLatin1(NotWhileCalibrating));
    action->setToolTip(action->statusTip());
  }
}

bool TServiceMenu::MayClose() {
  switch (FTasks.Running()) {
    case TServiceTask::stNone:
      return true;
    case TServiceTask::stAdapterCheck:
      CloseWhenDone = true;  // the check ends within seconds
      return false;
    case TServiceTask::stUpdate:
      break;
  }
  if (FTasks.StopRequested()) return false;
  // A signal to the program (its terminal closed, a request to end it) asks no one.
  if (::StopRequested()) {
    CloseWhenDone = true;
    FTasks.RequestStop();
    return false;
  }
  // Not parented to the window, which the progress window has disabled; No is the
  // default, so that a stray Enter does not cut the update off.
  QMessageBox question(
      QMessageBox::Warning, QStringLiteral("Update device firmware"),
      QStringLiteral(
          "The device's firmware is being updated.\n\nClosing stops the update at the next "
          "safe point. Once programming has begun, the device is left without working "
          "firmware: it does not run until it is updated again (start the update again with "
          "the same file; the calibrations are carried over then).\n\nStop the update and "
          "close?"),
      QMessageBox::Yes | QMessageBox::No);
  question.setDefaultButton(QMessageBox::No);
  question.move(CenteredPosition(Window.frameGeometry(), question.sizeHint()));
  const bool stop = question.exec() == QMessageBox::Yes;
  if (stop) {
    CloseWhenDone = true;
    FTasks.RequestStop();
  }
  return false;
}

void TServiceMenu::CloseIfAsked() {
  if (!CloseWhenDone || FTasks.Running() != TServiceTask::stNone) return;
  CloseWhenDone = false;
  // After the handler that ended the task has returned.
  QTimer::singleShot(0, &Window, [window = QPointer<QWidget>(&Window)] {
    if (window) window->close();
  });
}

void TServiceMenu::UpdateFirmware() {
  if (!FTasks.MayStartTask()) return;
  // Qt's own dialog, as the program's other file dialogs: it looks the same everywhere.
  QFileDialog chooser(&Window, QStringLiteral("Update device firmware"), FTasks.FirmwareFolder(),
                      QStringLiteral("Firmware files (*.kff);;All files (*)"));
  chooser.setOption(QFileDialog::DontUseNativeDialog);
  chooser.setFileMode(QFileDialog::ExistingFile);
  if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) return;
  const QString file = chooser.selectedFiles().constFirst();
  if (file.isEmpty()) return;
  FTasks.RememberFirmwareFolder(file);
  std::string summary;
  if (!FTasks.LoadFirmware(file, summary)) {
    QMessageBox::warning(&Window, QStringLiteral("Update device firmware"), Text(summary));
    return;
  }
  TFirmwareSummaryDialog dialog(Text(summary), FTasks.ListPorts(true), &Window);
  if (dialog.exec() != QDialog::Accepted) return;
  const TUpdateResult result = FTasks.RunUpdate(dialog.ChosenPort());
  if (result.Ok)
    QMessageBox::information(&Window, QStringLiteral("Update device firmware"), Text(result.Text));
  else
    QMessageBox::warning(&Window, QStringLiteral("Update device firmware"), Text(result.Text));
  CloseIfAsked();
}

void TServiceMenu::CheckAdapter() {
  if (!FTasks.MayStartTask()) return;
  TAdapterCheckDialog dialog(FTasks, &Window);
  dialog.exec();
  // A check still running when the dialog closed reports to nobody; the window waits
  // for it before it closes.
}

void TServiceMenu::ShowHistory() {
  THistoryDialog dialog(FTasks.Record().Path(), &Window);
  dialog.exec();
}

void TServiceMenu::ShowAbout() {
  QMessageBox::about(&Window, QStringLiteral("About"),
                     QStringLiteral("Kalmeon calibrator\n%1\n\nCalibration for 0A8-0AF, device "
                                    "firmware updates from a file, adapter checks and the "
                                    "calibration history.")
                         .arg(Text(VersionText("calibrator")).trimmed()));
}
