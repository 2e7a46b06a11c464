// calibrator-cli --update in-process: every exit status it can reach, against the
// simulated interface and device, and the progress lines without a terminal.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/DeviceUpdate.h"
#include "app/Startup.h"
#include "app/console/Modes.h"
#include "app/console/Update.h"
#include "firmware/Updater.h"
#include "serial/SerialPort.h"
#include "sim/Simulator.h"
#include "tests/common/TestWaits.h"
#include "tests/firmware/UpdaterTestSupport.h"

namespace {

using namespace std::chrono_literals;

class ConsoleUpdateTest : public ::testing::Test {
 protected:
  // The program's units stay up between the runs (each run starts and stops them too).
  static void SetUpTestSuite() {
    StartUpdaterUnits();
    StartProgramUnits();
  }
  static void TearDownTestSuite() { StopProgramUnits(); }
  void SetUp() override {
    ASSERT_TRUE(Dir.isValid());
    File = WriteInverterFile(Dir.path()).toStdString();
  }
  static TSimOptions Inverter() {
    TSimOptions options;
    options.DeviceVersion = 2001203;
    options.DeviceBootLoaderFirmwareVersion = 114;  // restarts the device on command
    options.HeartbeatMs = 0;
    return options;
  }
  QTemporaryDir Dir;
  std::string File;
};

TEST_F(ConsoleUpdateTest, ProgramsTheDeviceAndCarriesItsCalibrationOver) {
  TSimulation sim(Inverter());
  const int number = sim.RegisterAsPort();
  EXPECT_EQ(RunConsole({"--port", "COM" + std::to_string(number), "--update", File, "--yes"}),
            ceOk);
  EXPECT_EQ(sim.DeviceVersion(), 2001250u);
  EXPECT_FALSE(sim.DeviceInBootLoader());
  EXPECT_EQ(sim.ReadWord(0x21A8), 6419);  // round(1003 x 64 / 10)
  EXPECT_EQ(sim.ReadWord(0x21C2), 6419);
  EXPECT_EQ(sim.ReadByte(0x21E0) & 0x80, 0);
  UnregisterVirtualPort(number);
}

// The line pulled while the device is programmed: the update fails naming the lost
// port (status 2), the device waits in its boot loader, and the same update run again
// once the port is back programs it.
TEST_F(ConsoleUpdateTest, APortLostWhileProgrammingAsksForTheSameUpdateAgain) {
  TSimulation sim(Inverter());
  const int number = sim.RegisterAsPort();
  const std::vector<std::string> update = {"--port", "COM" + std::to_string(number), "--update",
                                           File, "--yes"};
  std::atomic<bool> stop{false};
  std::thread puller([&] {
    WaitUntil([&] { return stop || sim.Stats().DeviceLines >= 3; }, 120000);
    if (!stop) sim.Vanish();
  });
  ::testing::internal::CaptureStderr();
  const int status = RunConsole(update);
  const std::string err = ::testing::internal::GetCapturedStderr();
  stop = true;
  puller.join();
  EXPECT_EQ(status, cePortError);
  EXPECT_NE(err.find("Com " + std::to_string(number) + " lost during the update"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Run the same update again"), std::string::npos);
  EXPECT_TRUE(sim.DeviceInBootLoader());
  sim.Reconnect();
  EXPECT_EQ(RunConsole(update), ceOk);
  EXPECT_EQ(sim.DeviceVersion(), 2001250u);
  EXPECT_EQ(sim.ReadWord(0x21A8), 6419);
  UnregisterVirtualPort(number);
}

TEST_F(ConsoleUpdateTest, DeclinedOrRefusedUpdatesEndWithStatusOne) {
  {
    SCOPED_TRACE("--no: nothing is sent");
    TSimulation sim(Inverter());
    const int number = sim.RegisterAsPort();
    EXPECT_EQ(RunConsole({"--port", "COM" + std::to_string(number), "--update", File, "--no"}),
              ceDeviceError);
    EXPECT_EQ(sim.Stats().DeviceRequests, 0);
    EXPECT_EQ(sim.DeviceVersion(), 2001203u);
    UnregisterVirtualPort(number);
  }
  {
    SCOPED_TRACE("a device of another family refuses the file");
    TSimOptions options = Inverter();
    options.DeviceVersion = 2606207;
    TSimulation sim(options);
    const int number = sim.RegisterAsPort();
    EXPECT_EQ(RunConsole({"--port", "COM" + std::to_string(number), "--update", File, "--yes"}),
              ceDeviceError);
    EXPECT_EQ(sim.Stats().DeviceLines, 0);
    EXPECT_EQ(sim.DeviceVersion(), 2606207u);
    UnregisterVirtualPort(number);
  }
}

TEST_F(ConsoleUpdateTest, NothingOnTheLineIsATimeOut) {
  auto line = std::make_shared<TVirtualLine>(false);
  const int number = RegisterVirtualPortAnywhere(line);
  EXPECT_EQ(RunConsole({"--port", "COM" + std::to_string(number), "--update", File, "--yes"}),
            ceTimeout);
  UnregisterVirtualPort(number);
}

TEST_F(ConsoleUpdateTest, BadUsageUnreadableFilesAndMissingPorts) {
  // The file is checked before the port is opened: COM250 is never reached.
  const std::string noise = Dir.filePath(QStringLiteral("noise.kff")).toStdString();
  {
    QFile file(QString::fromStdString(noise));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(3000, '\x5a'));
  }
  const std::vector<std::vector<std::string>> usage = {
      {"--port", "COM250", "--update"},
      {"--port", "COM250", "--update", File, "--loop"},
      {"--port", "COM250", "--update", File, "--get", "eestIBatBulk"},
      {"--port", "COM250", "--update", File, "--method", "7"},
      {"--port", "COM250", "--update", Dir.filePath(QStringLiteral("none.kff")).toStdString()},
      {"--port", "COM250", "--update", noise},
  };
  for (const auto& args : usage)
    EXPECT_EQ(RunConsole(args), ceUsage) << ::testing::PrintToString(args);
  EXPECT_EQ(RunConsole({"--port", "/dev/calibrator-test-no-such-port", "--update", File, "--yes"}),
            cePortError);
  ClearPortAssignments();
}

// What the window shows before anything is sent: a usable file's summary, or why the
// file is refused.
TEST_F(ConsoleUpdateTest, FirmwareFilesAreSummarisedOrRefusedBeforeAnythingIsSent) {
  const QString noise = Dir.filePath(QStringLiteral("noise.kff"));
  {
    QFile file(noise);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(3000, '\x5a'));
  }
  const struct {
    QString Path;
    TFirmwareLoad Expected;
  } cases[] = {
      {QString::fromStdString(File), TFirmwareLoad::flOk},
      {noise, TFirmwareLoad::flRefused},
      {Dir.filePath(QStringLiteral("none.kff")), TFirmwareLoad::flUnreadable},
  };
  for (const auto& c : cases) {
    TReprogramBuffer buffer;
    std::string error;
    EXPECT_EQ(LoadFirmwareFile(c.Path, buffer, error), c.Expected) << c.Path.toStdString();
    EXPECT_EQ(error.empty(), c.Expected == TFirmwareLoad::flOk) << error;
  }
  TReprogramBuffer buffer;
  std::string error;
  ASSERT_EQ(LoadFirmwareFile(QString::fromStdString(File), buffer, error), TFirmwareLoad::flOk);
  const std::string summary = FirmwareSummary(QString::fromStdString(File), buffer);
  for (const char* line :
       {"Target: an Orvo/Telvik inverter/charger of family 20, through the BX2",
        "Part 1 \"Main\", version 2001250: 3 code lines, 4 data lines, 0 messages\n",
        "Checksums: OK\n"})
    EXPECT_NE(summary.find(line), std::string::npos) << line << "\nin:\n" << summary;
}

// A stop asked for while the part is sent takes effect after the line in flight: the
// rest of the part is not sent and the update ends as stopped, not as done.
TEST_F(ConsoleUpdateTest, AStopDuringProgrammingEndsBetweenTwoLines) {
  TSimulation sim(Inverter());
  const int number = sim.RegisterAsPort();
  TRS232o port;
  ASSERT_TRUE(port.Open(static_cast<uint32_t>(number), 1200, 'N', 1024, 1024));
  TThreadPtr<TUpdater> updater = TUpdater::Create(&port);
  ASSERT_TRUE(updater);
  std::string error;
  auto file = std::make_unique<TReprogramBuffer>();
  ASSERT_EQ(LoadFirmwareFile(QString::fromStdString(File), *file, error), TFirmwareLoad::flOk);
  TUpdater* u = updater.get();
  const TResult result =
      RunDeviceUpdate(*u, std::move(file), "inverter.kff", 6, [u] { return u->FramesSent() >= 2; });
  EXPECT_EQ(result.Fault(), TFault::Stopped);
  EXPECT_EQ(result.Text(), UpdateStoppedText);
  EXPECT_EQ(u->FramesSent(), 2);
  EXPECT_LT(u->FramesSent(), u->FramesTotal());
  EXPECT_TRUE(sim.DeviceInBootLoader());  // not restarted: no post-processing
  updater.reset();
  port.SetBreak(false);
  port.Close();
  UnregisterVirtualPort(number);
}

// Without a terminal: a line for each new text and each tenth of the programming
// bar; the post-processing display (a fresh bar at 0) shows no line count.
TEST(ConsoleUpdateProgress, PlainLinesFollowTheProgrammingBarOnly) {
  FILE* out = std::tmpfile();
  TLineCount lines{0, 8};
  TUpdateProgressSink sink(out, false, [&] { return lines; });
  TProgressState state;
  state.Caption = QStringLiteral("Updating x.kff");
  state.Info = QStringLiteral("Please wait, erasing");
  state.BarVisible = true;
  sink.Opened(1, state);
  for (int sent = 1; sent <= 8; ++sent) {
    lines.Sent = sent;
    state.Position = sent * 100 / 8;
    if (sent == 3) state.Caption.clear(), state.Info = QStringLiteral("Programming");
    sink.Changed(1, state);
  }
  sink.Closed(0);
  state.Caption = QStringLiteral("Updating x.kff");
  state.Info = QStringLiteral("Post processing");
  state.Position = 0;
  sink.Opened(1, state);
  std::rewind(out);
  std::string text;
  for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) text += static_cast<char>(c);
  std::fclose(out);
  EXPECT_EQ(text,
            "Updating x.kff: Please wait, erasing\n"
            " 12% (1/8 lines)\n 25% (2/8 lines)\n"
            "Programming\n 37% (3/8 lines)\n 50% (4/8 lines)\n 62% (5/8 lines)\n"
            " 75% (6/8 lines)\n 87% (7/8 lines)\n100% (8/8 lines)\n"
            "Updating x.kff: Post processing\n");
}

}  // namespace

namespace {

// What a sink writes for one change of a display, byte for byte.
std::string DrawnBy(TProgressSink& sink, std::FILE* out, const TProgressState& state) {
  sink.Changed(1, state);
  std::fflush(out);
  std::string text;
  std::rewind(out);
  for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) text += static_cast<char>(c);
  return text;
}

TProgressState Display(const char* caption, const char* info, bool bar, int position, int max) {
  TProgressState state;
  state.Caption = QString::fromUtf8(caption);
  state.Info = QString::fromUtf8(info);
  state.BarVisible = bar;
  state.Position = position;
  state.Max = max;
  state.Busy = QStringLiteral(".  .  ");
  return state;
}

struct TBarCase {
  const char* Name;
  bool UpdateSink;  // the update's terminal line, else the plain console bar
  TProgressState State;
  std::string Drawn;
};

// Both terminal bars draw the same line; the update's adds the lines sent and cuts its
// text shorter.
TEST(ConsoleBars, DrawTheirLinesByteForByte) {
  const std::string longInfo(70, 'x');
  const TBarCase cases[] = {
      {"busy", false, Display("Reprogram", "", false, 0, 100), "\r\033[KReprogram: .  .  "},
      {"half", false, Display("Reprogram", "BX2", true, 5, 10),
       "\r\033[K[###############               ]  50% Reprogram: BX2"},
      {"long text", false, Display("R", longInfo.c_str(), true, 100, 100),
       "\r\033[K[##############################] 100% R: " + longInfo.substr(0, 57)},
      {"update busy", true, Display("Connecting", "", false, 0, 100), "\r\033[KConnecting .  .  "},
      {"update lines", true, Display("Updating x.kff", "Programming", true, 3, 8),
       "\r\033[K[###########                   ]  37% 3/8 lines Updating x.kff: Programming"},
      {"update steps", true, Display("Post", "processing", true, StepScale / 4, StepScale),
       "\r\033[K[#######                       ]  25% Post: processing"},
      {"update long text", true, Display("U", longInfo.c_str(), true, 0, 8),
       "\r\033[K[                              ]   0% U: " + longInfo.substr(0, 47)},
  };
  for (const TBarCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    std::unique_ptr<TProgressSink> sink =
        c.UpdateSink ? std::make_unique<TUpdateProgressSink>(out, true,
                                                             [] {
                                                               return TLineCount{3, 8};
                                                             })
                     : MakeConsoleProgressSink(out);
    EXPECT_EQ(DrawnBy(*sink, out, c.State), c.Drawn);
    sink.reset();
    std::fclose(out);
  }
}

}  // namespace
