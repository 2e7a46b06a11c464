// The main window's look as a user meets it: captions that fit at common font sizes,
// a window that can be resized with the log taking the room, and a log that keeps
// the user's place and selection while lines are appended.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QLayout>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOption>
#include <QTextEdit>
#include <cstdlib>

#include "app/widgets/MainForm.h"
#include "tests/widgets/MainFormTestSupport.h"

namespace {

// Room for the text inside each control of the first screen, against its width in
// the control's font; the failures name the control.
std::string CutCaptions(TMainForm& form) {
  std::string cut;
  auto check = [&](const char* name, const QWidget* widget, const QString& text, QRect room) {
    const QFontMetrics metrics(widget->font());
    if (room.width() < metrics.horizontalAdvance(text) || room.height() < metrics.height())
      cut += std::string(name) + " \"" + text.toStdString() + "\" needs " +
             std::to_string(metrics.horizontalAdvance(text)) + "x" +
             std::to_string(metrics.height()) + ", has " + std::to_string(room.width()) + "x" +
             std::to_string(room.height()) + "; ";
  };
  QComboBox* combo = form.ComPortComboBox;
  QStyleOptionComboBox comboOption;
  comboOption.initFrom(combo);
  comboOption.editable = false;
  comboOption.frame = true;
  comboOption.currentText = combo->currentText();
  const QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &comboOption,
                                                     QStyle::SC_ComboBoxEditField, combo);
  check("list", combo, combo->currentText(), field);

  QCheckBox* box = form.ScanPortsCheckBox;
  QStyleOptionButton boxOption;
  boxOption.initFrom(box);
  boxOption.text = box->text();
  check("check box", box, box->text(),
        box->style()->subElementRect(QStyle::SE_CheckBoxContents, &boxOption, box));
  for (QLabel* label : {form.LogHeading, form.VersionLabel})
    check("label", label, label->text(), label->contentsRect());
  return cut;
}

TEST(MainWindowLayout, NoCaptionIsCutAtCommonFontSizes) {
  const QFont original = QApplication::font();
  for (const int points : {8, 9, 10, 11, 12, 14, 16}) {
    QFont font = original;
    font.setPointSize(points);
    QApplication::setFont(font);
    TMainForm form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_EQ(CutCaptions(form), "") << points << " pt";
    // The design's arrangement: list and check box on one row, then "Progress", the
    // log and the version label from top to bottom.
    EXPECT_LE(std::abs(form.ComPortComboBox->geometry().center().y() -
                       form.ScanPortsCheckBox->geometry().center().y()),
              2);
    EXPECT_LT(form.ComPortComboBox->geometry().right(), form.ScanPortsCheckBox->x());
    EXPECT_LT(form.ScanPortsCheckBox->geometry().bottom(), form.LogHeading->y());
    EXPECT_LT(form.LogHeading->geometry().bottom(), form.LogView->y());
    EXPECT_LT(form.LogView->geometry().bottom(), form.VersionLabel->y());
  }
  QApplication::setFont(original);
}

TEST(MainWindowLayout, ResizingGivesTheLogTheRoom) {
  TMainForm form;
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  EXPECT_NE(form.minimumSize(), form.maximumSize());
  const QSize log = form.LogView->size();
  form.resize(form.size() + QSize(200, 150));
  QApplication::processEvents();
  EXPECT_EQ(form.LogView->size(), log + QSize(200, 150));
  EXPECT_EQ(form.VersionLabel->geometry().bottom() + 1 + form.layout()->contentsMargins().bottom(),
            form.height());
}

// A log long enough to scroll, shown.
class MainWindowLog : public ::testing::Test {
 protected:
  void SetUp() override {
    Form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Form));
    for (int i = 0; i < 100; ++i) Add("line " + std::to_string(i));
    Bar = Form.LogView->verticalScrollBar();
    ASSERT_GT(Bar->maximum(), 0);
  }
  void Add(const std::string& text, bool newLine = true) {
    Form.AddLog(text, newLine, lcBlack, TLogStyle::Regular, false);
  }
  TMainForm Form;
  QScrollBar* Bar = nullptr;
};

TEST_F(MainWindowLog, FollowsTheEndOnlyWhenTheViewWasThere) {
  EXPECT_EQ(Bar->value(), Bar->maximum());
  const int before = Bar->maximum();
  Add("more");
  EXPECT_GT(Bar->maximum(), before);
  EXPECT_EQ(Bar->value(), Bar->maximum());

  Bar->setValue(Bar->maximum() / 3);  // the user reads an earlier line
  const int reading = Bar->value();
  for (int i = 0; i < 20; ++i) Add("later " + std::to_string(i));
  Add("* ", false);
  EXPECT_EQ(Bar->value(), reading);
  EXPECT_TRUE(Form.LogView->toPlainText().endsWith("later 19* "));

  Bar->setValue(Bar->maximum());  // back at the end: followed again
  Add("last");
  EXPECT_EQ(Bar->value(), Bar->maximum());
}

TEST_F(MainWindowLog, KeepsTheUsersSelectionWhileLinesAreAdded) {
  const QTextBlock third = Form.LogView->document()->findBlockByNumber(3);
  QTextCursor some(Form.LogView->document());
  some.setPosition(third.position());
  some.setPosition(third.position() + third.length() - 1, QTextCursor::KeepAnchor);
  Form.LogView->setTextCursor(some);
  Add("x");
  Add("* ", false);
  EXPECT_EQ(Form.LogView->textCursor().selectedText(), third.text());

  // Select all and copy with the keyboard, as a technician does; the text added
  // meanwhile is not taken into the selection, but appended after it.
  Form.LogView->setFocus();
  QTest::keyClick(Form.LogView, Qt::Key_A, Qt::ControlModifier);
  const QString all = Form.LogView->toPlainText();
  EXPECT_EQ(Form.LogView->textCursor().selectedText().size(), all.size());
  Add("after");
  Add("* ", false);
  EXPECT_EQ(Form.LogView->textCursor().selectedText().size(), all.size());
  QTest::keyClick(Form.LogView, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), all);
  EXPECT_TRUE(Form.LogView->toPlainText().endsWith("after* "));
}

}  // namespace
