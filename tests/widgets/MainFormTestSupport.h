#pragma once
// Helpers of the main window's tests: reading the log and picking ports as a user does.

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>

#include "app/widgets/MainForm.h"

// The format of the block (log line) whose text is `text`, at its first character.
inline bool FindLine(QTextEdit* edit, const QString& text, QTextCharFormat* format = nullptr) {
  for (QTextBlock block = edit->document()->begin(); block.isValid(); block = block.next()) {
    if (block.text() != text) continue;
    if (format) {
      QTextCursor cursor(block);
      cursor.movePosition(QTextCursor::NextCharacter);
      *format = cursor.charFormat();
    }
    return true;
  }
  return false;
}

// How many log lines read `text`.
inline int CountLines(QTextEdit* edit, const QString& text) {
  int count = 0;
  for (QTextBlock block = edit->document()->begin(); block.isValid(); block = block.next())
    count += block.text() == text ? 1 : 0;
  return count;
}

// A pick the way the combo reports one: the item becomes current and is activated.
inline void Choose(TMainForm& form, int index) {
  form.ComPortComboBox->setCurrentIndex(index);
  emit form.ComPortComboBox->activated(index);
}

// A pick with the mouse: the list drops down (and is rebuilt), the item is clicked.
inline bool PickFromPopup(TMainForm& form, int index) {
  QComboBox* combo = form.ComPortComboBox;
  QTest::mouseClick(combo, Qt::LeftButton);
  QAbstractItemView* view = combo->view();
  if (!QTest::qWaitForWindowExposed(view->window())) return false;
  QTest::qWait(QApplication::doubleClickInterval() + 50);  // past the opening click
  const QModelIndex item = view->model()->index(index, 0);
  view->scrollTo(item);
  QTest::qWait(20);      // the view lays its items out late on some platforms
  view->scrollTo(item);  // ...and scrolls only once they are laid out
  const QPoint centre = view->visualRect(item).center();
  QTest::mouseMove(view->viewport(), centre);
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, centre);
  return !view->window()->isVisible();
}

// The window's ticks until `done` holds or `maxTicks` have run.
template <typename TDone>
void TickUntil(TMainForm& form, TDone done, int maxTicks = 40) {
  for (int i = 0; i < maxTicks && !done(); ++i) form.TestConnection();
}
