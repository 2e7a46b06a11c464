#include "app/widgets/QtDialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include "support/Threads.h"
#include "support/Tools.h"

namespace {

QString ToQt(const std::string& text) {
  return QString::fromStdString(AdjustLineBreaks(text));
}

void CenterOver(QWidget* dialog, QWidget* window) {
  if (!dialog || !window) return;
  dialog->adjustSize();
  dialog->move(CenteredPosition(window->geometry(), dialog->size()));
}

QMessageBox::Icon IconOf(TMessageKind kind) {
  switch (kind) {
    case mkWarning:
      return QMessageBox::Warning;
    case mkError:
      return QMessageBox::Critical;
    case mkConfirmation:
      return QMessageBox::Question;
    case mkInformation:
      return QMessageBox::Information;
    default:
      return QMessageBox::NoIcon;
  }
}

QString CaptionOf(TMessageKind kind) {
  switch (kind) {
    case mkWarning:
      return QStringLiteral("Warning");
    case mkError:
      return QStringLiteral("Error");
    case mkConfirmation:
      return QStringLiteral("Confirm");
    case mkInformation:
      return QStringLiteral("Information");
    default:
      return QApplication::applicationDisplayName();
  }
}

struct TButtonMap {
  uint16_t Bit;
  QMessageBox::StandardButton Button;
  int Result;
};
constexpr TButtonMap ButtonMap[] = {
    {dbYes, QMessageBox::Yes, drYes},
    {dbNo, QMessageBox::No, drNo},
    {dbOK, QMessageBox::Ok, drOK},
    {dbCancel, QMessageBox::Cancel, drCancel},
};

int ResultOf(QMessageBox::StandardButton pressed, uint16_t buttons) {
  for (const TButtonMap& entry : ButtonMap)
    if (entry.Button == pressed) return entry.Result;
  // closed without a button: the "no" side of what was offered
  if (buttons & dbCancel) return drCancel;
  if (buttons & dbNo) return drNo;
  return drOK;
}

}  // namespace

QPoint CenteredPosition(const QRect& window, const QSize& dialog) {
  return QPoint(window.left() + (window.width() - dialog.width()) / 2,
                window.top() + (window.height() - dialog.height()) / 2);
}

QWidget* DialogOwnerWindow() {
  QWidget* active = QApplication::activeWindow();
  if (active && active->parentWidget() == nullptr) return active;
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (widget->isVisible() && widget->parentWidget() == nullptr && !qobject_cast<QDialog*>(widget))
      return widget;
  return active;
}

QStringList FileDialogFilters(const std::string& filter) {
  const QStringList parts = QString::fromStdString(filter).split('|');
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString patterns = parts[i + 1];
    patterns.replace(';', ' ');
    filters << parts[i] + " (" + patterns + ")";
  }
  if (filters.isEmpty()) filters << QStringLiteral("All files (*)");
  return filters;
}

void TQtDialogs::PlainMessage(const std::string& caption, const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, ToQt(caption), ToQt(text), QMessageBox::Ok);
  CenterOver(&box, DialogOwnerWindow());
  box.exec();
}

int TQtDialogs::MessageDialog(const std::string& text, TMessageKind kind, uint16_t buttons,
                              int32_t /*helpContext: no help system*/) {
  QMessageBox box(IconOf(kind), CaptionOf(kind), ToQt(text));
  QMessageBox::StandardButtons standard;
  for (const TButtonMap& entry : ButtonMap)
    if (buttons & entry.Bit) standard |= entry.Button;
  if (standard == QMessageBox::NoButton) standard = QMessageBox::Ok;
  box.setStandardButtons(standard);
  CenterOver(&box, DialogOwnerWindow());
  box.exec();
  return ResultOf(box.standardButton(box.clickedButton()), buttons);
}

int TQtDialogs::FileDialog(bool save, const std::string& title, const std::string& defaultExt,
                           const std::string& filter, std::string& fileName) {
  QFileDialog dialog(nullptr, ToQt(title));
  dialog.setOption(QFileDialog::DontUseNativeDialog);  // a native one cannot be moved
  dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  dialog.setDefaultSuffix(QString::fromStdString(defaultExt));
  dialog.setNameFilters(FileDialogFilters(filter));
  if (!fileName.empty()) dialog.selectFile(QString::fromStdString(fileName));
  // centred once it is open, over the window that was active when it was opened
  QPointer<QWidget> owner = DialogOwnerWindow();
  QPointer<QFileDialog> opened = &dialog;
  PostNotify(0, [owner, opened] {
    if (owner && opened) CenterOver(opened.data(), owner.data());
  });
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return drCancel;
  fileName = dialog.selectedFiles().constFirst().toStdString();
  return drOK;
}

int TQtDialogs::InputQuery(const std::string& caption, const std::string& prompt,
                           std::string& value) {
  QInputDialog dialog;
  dialog.setWindowTitle(ToQt(caption));
  dialog.setLabelText(ToQt(prompt));
  dialog.setTextValue(QString::fromStdString(value));
  CenterOver(&dialog, DialogOwnerWindow());
  if (dialog.exec() != QDialog::Accepted) return drCancel;
  value = dialog.textValue().toStdString();
  return drOK;
}

void InstallQtDialogs() {
  SetDialogHandler(std::make_unique<TQtDialogs>());
}
