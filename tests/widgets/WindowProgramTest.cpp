// The window program's start: a misdeclared string table, found while the units start,
// shows its message box (not only a line on standard error) and ends the program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>

#include "app/Startup.h"
#include "app/widgets/WindowProgram.h"
#include "support/HardcodedStrings.h"

namespace {

void StartUnitsWithAStringDefinedTwice() {
  StartProgramUnits();
  static int32_t ids[2];
  DeclareSection("Twice", ids[0], ids[1]);
  DefineString(ids[0], skTextOnly, 0, 0, "", {"a"});
  DefineString(ids[0], skTextOnly, 0, 0, "", {"b"});
}

void StartUnitsWithABadLookUp() {
  StartProgramUnits();
  FetchText(0);
}

// Reports every message box the program shows on standard error, then presses its button.
void AnswerMessageBoxes() {
  auto* watch = new QTimer(qApp);
  QObject::connect(watch, &QTimer::timeout, [] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    const QString text = box->text().replace('\n', ' ');
    std::fprintf(stderr, "message box \"%s\": %s\n", qPrintable(box->windowTitle()),
                 qPrintable(text));
    std::fflush(stderr);
    box->done(QMessageBox::Ok);
  });
  watch->start(20);
}

TEST(WindowProgramDeathTest, StringTableErrorsAtStartShowAMessageBox) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        AnswerMessageBoxes();
        TWindowProgramUnits units(StartUnitsWithAStringDefinedTwice);
      },
      ::testing::ExitedWithCode(1),
      ::testing::HasSubstr("message box \"Error in hardcoded string definitions!\": "
                           "Defining an already defined index"));
  EXPECT_EXIT(
      {
        AnswerMessageBoxes();
        TWindowProgramUnits units(StartUnitsWithABadLookUp);
      },
      ::testing::ExitedWithCode(1),
      ::testing::HasSubstr("message box \"Error\": Invalid string index"));
}

}  // namespace
