#include <gtest/gtest.h>

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <functional>

#include "app/widgets/QtDialogs.h"

namespace {

// Runs `act` on the modal dialog once it is open (polling, since exec() blocks).
void PollForModal(const std::function<void(QWidget*)>& act) {
  if (QWidget* modal = QApplication::activeModalWidget()) {
    act(modal);
    return;
  }
  QTimer::singleShot(5, [act] { PollForModal(act); });
}

void WhenModalOpens(std::function<void(QWidget*)> act) {
  QTimer::singleShot(0, [act = std::move(act)] { PollForModal(act); });
}

TEST(QtDialogs, CentredPositionTruncatesHalvesTowardZero) {
  EXPECT_EQ(CenteredPosition(QRect(100, 50, 400, 300), QSize(200, 100)), QPoint(200, 150));
  EXPECT_EQ(CenteredPosition(QRect(0, 0, 401, 301), QSize(200, 100)), QPoint(100, 100));
  // a dialog wider than the window: (100 - 301) / 2 is -100, not -101
  EXPECT_EQ(CenteredPosition(QRect(100, 100, 100, 100), QSize(301, 301)), QPoint(0, 0));
}

TEST(QtDialogs, FilterPartsBecomeQtNameFilters) {
  EXPECT_EQ(FileDialogFilters("Firmware|*.kff|All files|*.*"),
            (QStringList{"Firmware (*.kff)", "All files (*.*)"}));
  EXPECT_EQ(FileDialogFilters("Images|*.hex;*.bin"), (QStringList{"Images (*.hex *.bin)"}));
  EXPECT_EQ(FileDialogFilters(""), (QStringList{"All files (*)"}));
}

TEST(QtDialogs, MessageDialogShowsKindAndButtonsCentredOverTheMainWindow) {
  QWidget mainWindow;
  mainWindow.setGeometry(100, 100, 600, 400);
  mainWindow.show();
  TQtDialogs dialogs;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons;
  QPoint position;
  QPoint expected;
  WhenModalOpens([&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    ASSERT_NE(box, nullptr);
    icon = box->icon();
    buttons = box->standardButtons();
    position = box->pos();
    expected = CenteredPosition(mainWindow.geometry(), box->size());
    box->button(QMessageBox::No)->click();
  });
  EXPECT_EQ(dialogs.MessageDialog("Update?", mkConfirmation, dbYes | dbNo, 0), drNo);
  EXPECT_EQ(icon, QMessageBox::Question);
  EXPECT_EQ(buttons, QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(position, expected);
}

TEST(QtDialogs, MessageDialogMapsEveryButtonToItsResult) {
  TQtDialogs dialogs;
  const std::pair<QMessageBox::StandardButton, int> presses[] = {{QMessageBox::Ok, drOK},
                                                                 {QMessageBox::Cancel, drCancel}};
  for (const auto& [button, result] : presses) {
    WhenModalOpens([button = button](QWidget* modal) {
      qobject_cast<QMessageBox*>(modal)->button(button)->click();
    });
    EXPECT_EQ(dialogs.MessageDialog("Go on?", mkWarning, dbOK | dbCancel, 0), result);
  }
}

TEST(QtDialogs, InputQueryEditsTheValueOnlyWhenAccepted) {
  TQtDialogs dialogs;
  std::string value = "12";
  QString shown;
  WhenModalOpens([&](QWidget* modal) {
    auto* input = qobject_cast<QInputDialog*>(modal);
    shown = input->textValue();
    input->setTextValue("34");
    input->accept();
  });
  EXPECT_EQ(dialogs.InputQuery("Serial", "Number:", value), drOK);
  EXPECT_EQ(shown, "12");
  EXPECT_EQ(value, "34");
  WhenModalOpens([](QWidget* modal) { qobject_cast<QDialog*>(modal)->reject(); });
  EXPECT_EQ(dialogs.InputQuery("Serial", "Number:", value), drCancel);
  EXPECT_EQ(value, "34");
}

}  // namespace
