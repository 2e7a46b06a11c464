// Paths of the console that are no regular files, on a system with FIFOs.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QTemporaryDir>
#include <string>
#include <vector>

#include "app/CalibrationRecord.h"
#include "app/console/Modes.h"
#include "app/console/program/SimPort.h"

namespace {

// "--port sim" as calibrator-cli serves it.
class ConsoleFiles : public ::testing::Test {
 protected:
  void SetUp() override { Previous = SetSimPortMaker(MakeConsoleSimPort); }
  void TearDown() override { SetSimPortMaker(Previous); }
  TBuiltInPortMaker Previous;
};

// A FIFO named as a file to read or write is refused at once: it would wait for its
// other end for good (and a signal could not end the wait).
TEST_F(ConsoleFiles, FifoPathsAreRefusedWithoutWaiting) {
  QTemporaryDir dir;
  const std::string fifo = dir.filePath("fifo").toStdString();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::vector<std::vector<std::string>> cases = {
      {"--history", fifo},
      {"--decode-trace", fifo},
      {"--port", "sim", "--record", fifo, "--timeout", "30"},
      {"--port", "sim", "--trace", fifo, "--record", "-", "--timeout", "30"},
      {"--port", "sim", "--update", fifo, "--no"},
  };
  for (const auto& args : cases) EXPECT_EQ(RunConsole(args), ceUsage) << args[args.size() - 2];
  std::string error;
  TDeviceFacts facts;
  facts.Result = "OK!";
  EXPECT_FALSE(TCalibrationRecord(QString::fromStdString(fifo)).Append(facts, error));
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
}

}  // namespace
