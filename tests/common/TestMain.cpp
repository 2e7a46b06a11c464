// Test main for the core layers: a QCoreApplication owns the main thread, as in
// the console program, so notifications and queued calls reach it.
#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QStandardPaths>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  // Calibration records of the tests stay out of the user's own record file.
  QStandardPaths::setTestModeEnabled(true);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
