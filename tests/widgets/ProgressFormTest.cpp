// Progress operations: the arithmetic of the bar and the stack of windows.
#include "app/widgets/ProgressForm.h"
#include "support/Progress.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

#include <chrono>
#include <cstdio>

namespace {

class Progress : public ::testing::Test {
 protected:
  void SetUp() override {
    StartUnitProgress();
    Main.setWindowTitle(QStringLiteral("Main"));
    Main.setGeometry(100, 100, 600, 400);
    Main.show();
    InstallProgressWindows(&Main);
  }
  void TearDown() override {
    StopUnitProgress();
    SetProgressSink(nullptr);
  }

  const QProgressBar& Bar() const { return *CurrentProgressForm()->ProgressBar; }

  QWidget Main;
};

TEST_F(Progress, StackDisablesTheApplicationUntilTheLastWindowCloses) {
  ShowProgress(QString(), QString());  // closing with nothing open does nothing
  EXPECT_EQ(ProgressFormCount(), 0);

  ShowProgress(QStringLiteral("Updating"), QStringLiteral("first"));
  TProgressForm* First = CurrentProgressForm();
  ASSERT_NE(First, nullptr);
  EXPECT_FALSE(Main.isEnabled());
  EXPECT_TRUE(First->isVisible());
  EXPECT_TRUE(First->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_FALSE(First->HiddenButton->isVisible());

  ShowProgress(QStringLiteral("Nested"), QStringLiteral("second"));
  EXPECT_EQ(ProgressFormCount(), 2);
  EXPECT_FALSE(First->isEnabled());
  EXPECT_TRUE(CurrentProgressForm()->isEnabled());

  ShowProgress(QString(), QString());
  EXPECT_EQ(CurrentProgressForm(), First);
  EXPECT_TRUE(First->isEnabled());
  EXPECT_FALSE(Main.isEnabled());

  ShowProgress(QString(), QString());
  EXPECT_EQ(ProgressFormCount(), 0);
  EXPECT_EQ(ProgressDepth(), 0);
  EXPECT_TRUE(Main.isEnabled());
}

TEST_F(Progress, ReuseRelaysTheTopWindowOut) {
  ShowProgress(QStringLiteral("A"), QStringLiteral("one"));
  TProgressForm* Form = CurrentProgressForm();
  ShowProgress(QStringLiteral("B"), QStringLiteral("two"), 5, 10, 0, true);
  EXPECT_EQ(ProgressFormCount(), 1);
  EXPECT_EQ(CurrentProgressForm(), Form);
  EXPECT_EQ(Form->windowTitle(), QStringLiteral("B"));
  EXPECT_EQ(Bar().maximum(), 10);
  EXPECT_EQ(Bar().value(), 5);
}

TEST_F(Progress, LayoutFollowsTheBarSettings) {
  ShowProgress(QStringLiteral("Wait"), QStringLiteral("no bar"), -1);
  const TProgressForm& NoBar = *CurrentProgressForm();
  EXPECT_FALSE(NoBar.ProgressBar->isVisible());
  EXPECT_FALSE(NoBar.BusyDots->isVisible());
  const int ShortHeight = NoBar.height();
  // Centred over the main window.
  EXPECT_EQ(NoBar.x(), 100 + (600 - NoBar.width()) / 2);
  ShowProgress(QString(), QString());

  ShowProgress(QStringLiteral("Wait"), QStringLiteral("bar"), 30, -100, 0);
  EXPECT_TRUE(Bar().isVisible());
  EXPECT_EQ(Bar().minimum(), 0);
  EXPECT_EQ(Bar().maximum(), 100);
  EXPECT_EQ(Bar().value(), 30);
  EXPECT_GT(CurrentProgressForm()->height(), ShortHeight);
}

TEST_F(Progress, TextsAndKeepText) {
  ShowProgress(QStringLiteral("Caption"), QStringLiteral("info"), 10);
  TickBusy();
  EXPECT_EQ(CurrentProgressForm()->BusyDots->text(), QStringLiteral(".  "));
  SetProgressTexts(QStringLiteral("new info"), KeepText);
  EXPECT_EQ(CurrentProgressForm()->windowTitle(), QStringLiteral("Caption"));
  EXPECT_EQ(CurrentProgressForm()->InfoLabel->text(), QStringLiteral("new info"));
  EXPECT_EQ(Bar().value(), 10);
  EXPECT_EQ(CurrentProgressForm()->BusyDots->text(), QString());
  SetProgressPosition(70);
  EXPECT_EQ(Bar().value(), 70);
  EXPECT_EQ(CurrentProgressForm()->InfoLabel->text(), QStringLiteral("new info"));
  UpdateProgress(KeepText, 500, QStringLiteral("Other"));
  EXPECT_EQ(CurrentProgressForm()->windowTitle(), QStringLiteral("Other"));
  EXPECT_EQ(Bar().value(), 100);  // the bar stops at its end
}

TEST_F(Progress, BusyDotsCycleThroughSixDots) {
  ShowProgress(QStringLiteral("Caption"), QStringLiteral("info"));
  QStringList Seen;
  for (int i = 0; i < 8; ++i) {
    TickBusy();
    Seen << CurrentProgressForm()->BusyDots->text();
  }
  EXPECT_EQ(Seen[5], QStringLiteral(".  .  .  .  .  .  "));
  EXPECT_EQ(Seen[6], QStringLiteral(".  "));
  EXPECT_EQ(Seen[7], QStringLiteral(".  .  "));
}

// The scale is 0 to 16777216; a step is the rest of the way over the steps announced,
// plus 1.
TEST_F(Progress, StepsOnTheFixedScale) {
  ShowProgress(QStringLiteral("Steps"), QStringLiteral("info"));
  StepProgress(4);
  EXPECT_EQ(Bar().maximum(), 16777216);
  EXPECT_EQ(Bar().value(), 4194305);
  StepProgress(0);
  StepProgress(0);
  EXPECT_EQ(Bar().value(), 12582915);
  StepProgress(0);
  EXPECT_EQ(Bar().value(), 16777216);  // clamped at the end

  // Announcing more steps from where the bar stands keeps the scale.
  ShowProgress(QStringLiteral("Steps"), QStringLiteral("info"), 0, 100, 0, true);
  StepProgress(2);
  EXPECT_EQ(Bar().value(), 8388609);
  StepProgress(6);  // steps of (16777216 - 8388609) / 6 + 1
  EXPECT_EQ(Bar().value(), 8388609 + 1398102);

  const auto Start = std::chrono::steady_clock::now();
  StepProgress(-3);  // three steps, 100 ms before each
  const auto Elapsed = std::chrono::steady_clock::now() - Start;
  EXPECT_GE(Elapsed, std::chrono::milliseconds(300));
  EXPECT_LT(Elapsed, std::chrono::milliseconds(3000));
  EXPECT_EQ(Bar().value(), 8388609 + 4 * 1398102);
}

TEST(ProgressCore, OperationsWithoutAWindowDoNothing) {
  SetProgressSink(nullptr);
  StepProgress(3);
  TickBusy();
  SetProgressPosition(5);
  EXPECT_EQ(CurrentProgress(), nullptr);
  EXPECT_EQ(IgnoreKeys(13), 13);
  EXPECT_EQ(IgnoreKeys('A'), 32);
  EXPECT_EQ(IgnoreKeys(27), 32);
}

TEST(ProgressCore, ConsoleBarDrawsOnItsStream) {
  std::FILE* Out = std::tmpfile();  // a stream of its own, on every platform
  ASSERT_NE(Out, nullptr);
  SetProgressSink(MakeConsoleProgressSink(Out));
  ShowProgress(QStringLiteral("Reprogram"), QStringLiteral("BX2"), 0, 10);
  SetProgressPosition(5);
  ShowProgress(QString(), QString());
  SetProgressSink(nullptr);
  std::rewind(Out);
  char Text[512] = {};
  const size_t Length = std::fread(Text, 1, sizeof Text - 1, Out);
  std::fclose(Out);
  const QString Drawn = QString::fromLatin1(Text, static_cast<qsizetype>(Length));
  EXPECT_TRUE(Drawn.contains(QStringLiteral("  0% Reprogram: BX2")));
  EXPECT_TRUE(Drawn.contains(QStringLiteral("[###############               ]  50%")));
}

}  // namespace
