// Test main for the windows: a QApplication (offscreen platform in CTest).
#include <gtest/gtest.h>
#include <QApplication>
#include <QStandardPaths>

int main(int argc, char** argv) {
  // CTest lists the tests by running this binary without the tests' environment; with
  // no display to connect to, use the offscreen platform rather than abort.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
      qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  // Calibration records of the tests stay out of the user's own record file.
  QStandardPaths::setTestModeEnabled(true);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
