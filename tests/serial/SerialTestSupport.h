#pragma once
// Helpers shared by the serial tests: a recording device for the virtual line, and
// the port mapping's fixture with the platform's own port table.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "serial/PortMap.h"
#include "serial/RS232Tools.h"
#include "serial/VirtualLine.h"
#include "support/HardcodedStrings.h"
#include "tests/common/TestWaits.h"

// Records what the host sends and every line change; optionally echoes each byte.
class TRecordingDevice : public TVirtualDevice {
 public:
  void OnHostByte(TVirtualLine& line, const TWireByte& byte, TLineTime arrival) override {
    {
      std::lock_guard lock(Mutex);
      Bytes.push_back(byte);
      Arrivals.push_back(arrival);
    }
    if (Echo) line.SendToHost({byte});
  }
  void OnLineChange(TVirtualLine&, const TLineState& state, TLineTime) override {
    std::lock_guard lock(Mutex);
    States.push_back(state);
  }
  std::vector<TWireByte> ReceivedBytes() {
    std::lock_guard lock(Mutex);
    return Bytes;
  }
  std::vector<TLineState> LineStates() {
    std::lock_guard lock(Mutex);
    return States;
  }
  std::vector<TLineTime> ArrivalTimes() {
    std::lock_guard lock(Mutex);
    return Arrivals;
  }

  bool Echo = false;

 private:
  std::mutex Mutex;
  std::vector<TWireByte> Bytes;
  std::vector<TLineTime> Arrivals;
  std::vector<TLineState> States;
};

// Port numbers resolved against an empty port folder of the test's own.
class PortMapping : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    StartUnitStrings();
    StartUnitRS232Tools();
  }
  void SetUp() override {
    ASSERT_TRUE(Folder.isValid());
    qputenv("KALMEON_PORTS_DIR", Folder.path().toUtf8());
  }
  void TearDown() override {
    ClearPortAssignments();
    qunsetenv("KALMEON_PORTS_DIR");
  }
  QTemporaryDir Folder;
};

// The device the platform's built-in table gives port 33 (in the platform's test file).
std::string BuiltInPathOfPort33();
