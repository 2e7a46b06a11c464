// The port object on a real terminal device: a pseudo-terminal whose far end the
// test holds. Also the parity-mark decoder that turns the line discipline's
// markers back into bytes and line errors.

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "serial/Loopback.h"
#include "serial/ParityMarkDecoder.h"
#include "serial/PlatformPorts.h"
#include "serial/PortMap.h"
#include "serial/PosixTermios.h"
#include "serial/RS232Tools.h"
#include "serial/SerialPort.h"
#include "tests/serial/SerialTestSupport.h"

using namespace std::chrono_literals;

namespace {

constexpr int kPort = 210;

class PosixPort : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LockDir.isValid());
    setenv("KALMEON_LOCK_DIR", LockDir.path().toUtf8().constData(), 1);
    char name[128] = {};
    int slave = -1;
    ASSERT_EQ(openpty(&Master, &slave, name, nullptr, nullptr), 0);
    close(slave);  // the port object opens it by name
    SlavePath = name;
    AssignPortPath(kPort, SlavePath);
  }
  void TearDown() override {
    AssignPortPath(kPort, "");
    if (Master >= 0) close(Master);
    unsetenv("KALMEON_LOCK_DIR");
  }
  void FromDevice(std::initializer_list<uint8_t> bytes) {
    const std::vector<uint8_t> v(bytes);
    ASSERT_EQ(write(Master, v.data(), v.size()), static_cast<ssize_t>(v.size()));
  }
  std::string LockFile() const {
    std::string name = SlavePath.substr(5);  // without "/dev/"
    std::replace(name.begin(), name.end(), '/', '_');
    return LockDir.path().toStdString() + "/LCK.." + name;
  }

  QTemporaryDir LockDir;
  int Master = -1;
  std::string SlavePath;
};

}  // namespace

TEST_F(PosixPort, OpensAndConfiguresAnyRateWithoutModemLines) {
  TRS232o port;
  ASSERT_TRUE(port.Open(kPort, 1200, 'N', 1024, 1024)) << OpenFailureText(port.LastOpenError());
  EXPECT_EQ(port.PortNumber(), uint32_t{kPort});
  for (int baud : {7680, 2400, 115200}) {
    ASSERT_TRUE(port.Configure(baud, 'N'));
    EXPECT_EQ(GetLineBaud(Master), baud);  // the far end sees the line's settings
  }
  // A pseudo-terminal keeps no parity: read back, the settings did not take.
  EXPECT_FALSE(port.Configure(1200, 'S'));
  EXPECT_NE(port.LastConfigureError().find("does not support the mark and space parity"),
            std::string::npos)
      << port.LastConfigureError();
  EXPECT_FALSE(port.Configure(1200, 'E'));
  EXPECT_EQ(port.LineRecord().Parity, 'N');
  EXPECT_EQ(port.Baud(), 115200);
  // A pseudo-terminal has no modem lines: only those operations say so.
  EXPECT_FALSE(port.ClearDtr(false));
  EXPECT_TRUE(port.SetBreak(false));
}

TEST_F(PosixPort, SecondOpenerGetsInUseAndTheLockFileIsKept) {
  TRS232o first;
  ASSERT_TRUE(first.Open(kPort, 1200, 'N', 1024, 1024));
  std::ifstream lock(LockFile());
  ASSERT_TRUE(lock.good()) << LockFile();
  pid_t owner = 0;
  lock >> owner;
  EXPECT_EQ(owner, getpid());

  TRS232o second;
  EXPECT_FALSE(second.Open(kPort, 1200, 'N', 1024, 1024));
  EXPECT_EQ(second.PortNumber(), 0u);
  EXPECT_EQ(second.LastOpenError().Result.Fault, TSerialFault::sfInUse);
  EXPECT_EQ(ProbePort(kPort), 0);

  first.Close();
  EXPECT_FALSE(std::ifstream(LockFile()).good());
  EXPECT_EQ(ProbePort(kPort), 1);
}

// A lock folder the program cannot write into (missing, or a file): the port opens
// without a lock file, and flock still keeps a second opener out, root included.
TEST_F(PosixPort, AnUnwritableLockFolderStillLeavesOneOpener) {
  const std::string file = LockDir.path().toStdString() + "/a-file";
  std::ofstream(file) << "not a folder\n";
  const std::string missing = LockDir.path().toStdString() + "/missing";
  for (const std::string& folder : {missing, file}) {
    SCOPED_TRACE(folder);
    setenv("KALMEON_LOCK_DIR", folder.c_str(), 1);
    TRS232o first;
    ASSERT_TRUE(first.Open(kPort, 1200, 'N', 1024, 1024)) << OpenFailureText(first.LastOpenError());
    TRS232o second;
    EXPECT_FALSE(second.Open(kPort, 1200, 'N', 1024, 1024));
    EXPECT_EQ(second.LastOpenError().Result.Fault, TSerialFault::sfInUse);
    first.Close();
    EXPECT_TRUE(second.Open(kPort, 1200, 'N', 1024, 1024));
  }
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(missing)));  // nothing made there
}

TEST_F(PosixPort, LockFilesOfOtherProgramsAreRespectedUnlessStale) {
  {
    std::ofstream(LockFile()) << "     " << getppid() << "\n";  // a live process holds it
  }
  TRS232o port;
  EXPECT_FALSE(port.Open(kPort, 1200, 'N', 1024, 1024));
  EXPECT_EQ(port.LastOpenError().Result.Fault, TSerialFault::sfInUse);

  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  int status = 0;
  waitpid(child, &status, 0);
  {
    std::ofstream(LockFile()) << "     " << child << "\n";  // its owner has gone
  }
  EXPECT_TRUE(port.Open(kPort, 1200, 'N', 1024, 1024));
}

TEST_F(PosixPort, FirstByteReadsAndDeadlines) {
  TRS232o port;
  ASSERT_TRUE(port.Open(kPort, 9600, 'N', 1024, 1024));
  uint8_t buf[4] = {};
  TLineTime start = TLineClock::now();
  EXPECT_EQ(port.Read(buf, 4, 40), 0);
  const double waited = MsSince(start);
  EXPECT_GE(waited, 39);
  EXPECT_LT(waited, 40 * 25);  // milliseconds, not a unit slip
  EXPECT_EQ(port.PortNumber(), uint32_t{kPort});

  std::thread device([this] {
    std::this_thread::sleep_for(20ms);
    FromDevice({0x31, 0x32, 0x33, 0x34});
  });
  start = TLineClock::now();
  EXPECT_EQ(port.Read(buf, 4, 10000), 4);
  device.join();
  EXPECT_LT(MsSince(start), 5000);  // with the bytes, well before the deadline
  EXPECT_EQ(buf[3], 0x34);
}

TEST_F(PosixPort, ImmediateFormAndTheMaximumWaitForm) {
  TRS232o port;
  ASSERT_TRUE(port.Open(kPort, 9600, 'N', 1024, 1024));
  port.SetReadTimeouts(-1);
  uint8_t buf[8] = {};
  TLineTime start = TLineClock::now();
  EXPECT_EQ(port.Read(buf, 8, -1), 0);
  EXPECT_LT(MsSince(start), 1000);  // at once, not after a default wait
  FromDevice({1, 2, 3});
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(port.Read(buf, 8, -1), 3);

  // Wait up to the constant for the first byte, then return at once.
  port.SetTimeouts({MaxTimeout, MaxTimeout, 60, 0, 0});
  start = TLineClock::now();
  EXPECT_EQ(port.Read(buf, 8, -1), 0);
  EXPECT_GE(MsSince(start), 59);
  port.SetTimeouts({MaxTimeout, MaxTimeout, 10000, 0, 0});
  std::thread device([this] {
    std::this_thread::sleep_for(15ms);
    FromDevice({9, 8});
  });
  start = TLineClock::now();
  EXPECT_GE(port.Read(buf, 8, -1), 1);
  device.join();
  EXPECT_LT(MsSince(start), 5000);  // with the first byte, well before the constant
}

TEST_F(PosixPort, HungReadReopensAndCloseSwitchesTheRate) {
  TRS232o port;
  ASSERT_TRUE(port.Open(kPort, 2400, 'N', 1024, 1024));
  port.SetReadTimeouts(0);
  uint8_t b = 0;
  const TLineTime start = TLineClock::now();
  EXPECT_EQ(port.Read(&b, 1, -1), -1);
  EXPECT_GE(MsSince(start), 169);
  EXPECT_EQ(port.PortNumber(), 0u);
  EXPECT_TRUE(port.HandleValid());
  EXPECT_EQ(GetLineBaud(Master), 2400);  // reopened with the old line settings
  EXPECT_EQ(port.Baud(), 115200);
  FromDevice({5});
  EXPECT_EQ(port.Read(&b, 1, 10), 0);  // counts as closed

  TRS232o fast;
  port.Close();
  ASSERT_TRUE(fast.Open(kPort, 115200, 'N', 1024, 1024));
  fast.Close();
  EXPECT_EQ(fast.Baud(), 57600);
}

TEST_F(PosixPort, WritesReachTheFarEndAndFFSurvivesTheMarking) {
  TRS232o port;
  ASSERT_TRUE(port.Open(kPort, 19200, 'N', 1024, 1024));
  const uint8_t out[3] = {0x56, 0xFF, 0x00};
  EXPECT_EQ(port.Write(out, 3), 3);
  uint8_t got[3] = {};
  ASSERT_EQ(read(Master, got, 3), 3);
  EXPECT_EQ(got[1], 0xFF);

  FromDevice({0xFF, 0x00, 0xFF});
  uint8_t in[3] = {};
  ASSERT_EQ(port.Read(in, 3, 100), 3);
  EXPECT_EQ(in[0], 0xFF);
  EXPECT_EQ(in[1], 0x00);
  EXPECT_EQ(in[2], 0xFF);
  ASSERT_TRUE(port.ClearErrors());
  EXPECT_EQ(port.LastErrors(), 0u);
}

TEST_F(PosixPort, FarEndGoneIsALostPort) {
  TRS232o port;
  ASSERT_TRUE(port.Open(kPort, 9600, 'N', 1024, 1024));
  port.SetReadTimeouts(10000);
  uint8_t b = 0;
  port.StartRead(&b, 1);
  std::thread puller([this] {
    std::this_thread::sleep_for(30ms);
    close(Master);
    Master = -1;
  });
  const TLineTime start = TLineClock::now();
  EXPECT_EQ(port.WaitRead(), -1);
  puller.join();
  EXPECT_LT(MsSince(start), 5000);  // at the loss, well before the read's time-out
  EXPECT_EQ(port.PortNumber(), 0u);
}

// A pseudo-terminal whose far end echoes: the byte checks pass; the parity, break and
// counter checks cannot be made (no parity, no breaks, no error counters), and the
// verdict says so.
TEST_F(PosixPort, LoopbackSelfTestOverAPseudoTerminalNamesTheChecksItCouldNotMake) {
  std::atomic<bool> done{false};
  fcntl(Master, F_SETFL, fcntl(Master, F_GETFL) | O_NONBLOCK);
  std::thread echo([&] {
    uint8_t buf[256];
    while (!done) {
      const ssize_t n = read(Master, buf, sizeof buf);
      if (n > 0)
        (void)!write(Master, buf, static_cast<size_t>(n));
      else
        std::this_thread::sleep_for(1ms);
    }
  });
  TRS232o port;
  ASSERT_TRUE(port.Open(kPort, 1200, 'N', 1024, 1024));
  const TLoopbackReport report = RunLoopbackTest(port);
  done = true;
  echo.join();
  ASSERT_TRUE(report.PlugFound);
  int notMade = 0;
  for (const auto& row : report.Rows) {
    if (row.Result == TCheckResult::crNotMade) ++notMade;
    if (row.Check.find("bytes") == 0) {
      EXPECT_EQ(row.Result, TCheckResult::crPassed) << row.Baud;
    }
  }
  EXPECT_EQ(notMade, 5) << LoopbackTable(report);
  EXPECT_EQ(LoopbackExitCode(report), 1);
  EXPECT_NE(LoopbackVerdict(report).find("could not be made"), std::string::npos);
}

TEST(PosixOpen, FailuresCarryTheirKind) {
  TRS232o port;
  AssignPortPath(211, "/nonexistent/ttyX");
  EXPECT_FALSE(port.Open(211, 1200, 'N', 1024, 1024));
  EXPECT_EQ(port.LastOpenError().Result.Fault, TSerialFault::sfNotFound);
  EXPECT_EQ(ProbePort(211), -1);
  AssignPortPath(211, "/dev/null");  // not a terminal
  EXPECT_FALSE(port.Open(211, 1200, 'N', 1024, 1024));
  EXPECT_EQ(port.LastOpenError().Result.Fault, TSerialFault::sfUnsupported);
  AssignPortPath(211, "");
  TOpenFailure denied{
      TSerialResult::Failure(TSerialFault::sfPermissionDenied, EACCES), "/dev/null", 7, {}};
  const std::string text = OpenFailureText(denied);
  EXPECT_NE(text.find("Com 7 (/dev/null)"), std::string::npos) << text;
  EXPECT_NE(text.find("log"), std::string::npos) << text;  // a fresh login is needed
}

// Joining a group is advised only where the group may read and write the device and
// is not root; otherwise the owner, the mode and the udev rule for "dialout".
TEST(PosixOpen, PermissionAdviceNamesOnlyAGroupThatHelps) {
  struct TCase {
    TDeviceOwnership Device;
    const char* Expected;
    const char* Never;
  };
  const TCase cases[] = {
      {{"root", "dialout", false, 0660, "ttyUSB0"}, "sudo usermod -aG dialout $USER", "udev"},
      {{"root", "root", true, 0600, "ttyUSB0"}, "root:root with mode 0600", "-aG root"},
      {{"root", "root", true, 0660, "ttyACM1"}, "KERNEL==\"ttyACM[0-9]*\"", "-aG root"},
      {{"root", "uucp", false, 0640, "ttyS0"}, "GROUP=\"dialout\", MODE=\"0660\"", "-aG uucp"},
  };
  for (const TCase& c : cases) {
    const std::string text = PermissionAdviceText(c.Device);
    EXPECT_NE(text.find(c.Expected), std::string::npos) << text;
    EXPECT_EQ(text.find(c.Never), std::string::npos) << text;
    EXPECT_NE(text.find("log"), std::string::npos) << text;  // a fresh login is needed
  }
}

TEST(PosixOpen, PermissionAdviceReadsTheDevicesOwnerAndMode) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::string path = dir.filePath("ttyUSB7").toStdString();
  ASSERT_TRUE(QFile(QString::fromStdString(path)).open(QIODevice::WriteOnly));
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  const std::string text = PermissionAdvice(path);
  EXPECT_NE(text.find("with mode 0600"), std::string::npos) << text;
  EXPECT_NE(text.find("ttyUSB[0-9]*"), std::string::npos) << text;
}

// ---- the decoder ----------------------------------------------------------------

namespace {

std::vector<TDecodedByte> DecodeInPieces(const std::vector<uint8_t>& raw, size_t split) {
  TParityMarkDecoder decoder;
  std::vector<TDecodedByte> out(raw.size() + 2);
  size_t n = decoder.Feed(raw.data(), split, out.data());
  n += decoder.Feed(raw.data() + split, raw.size() - split, out.data() + n);
  out.resize(n);
  return out;
}

}  // namespace

TEST(ParityMarkDecoder, SameResultWhereverTheStreamIsSplit) {
  const std::vector<uint8_t> raw = {0x41, 0xFF, 0xFF, 0xFF, 0x00, 0x42,
                                    0xFF, 0x00, 0x00, 0x43, 0xFF, 0x44};
  // The decoder only says which bytes were marked: a marked 0x00 may be a break or a
  // ninth-bit 0x00 (MarkClassifierTest tells them apart).
  const std::vector<std::pair<uint8_t, bool>> expected = {
      {0x41, false}, {0xFF, false}, {0x42, true}, {0x00, true},
      {0x43, false}, {0xFF, false}, {0x44, false}};
  for (size_t split = 0; split <= raw.size(); ++split) {
    const auto out = DecodeInPieces(raw, split);
    ASSERT_EQ(out.size(), expected.size()) << "split at " << split;
    for (size_t i = 0; i < out.size(); ++i) {
      EXPECT_EQ(out[i].Value, expected[i].first) << "split " << split << " byte " << i;
      EXPECT_EQ(out[i].Marked, expected[i].second) << "split " << split << " byte " << i;
      EXPECT_EQ(out[i].Errors, 0u);
    }
  }
}

// The rate and the other settings go to the device in one call: a far end that watches
// the line while the rate switches never sees a rate in between.
TEST_F(PosixPort, RateSwitchesNeverPassThroughAnotherRate) {
  TRS232o port;
  ASSERT_TRUE(port.Open(kPort, 1200, 'N', 1024, 1024));
  std::atomic<bool> done{false};
  std::atomic<int> foreignRate{0};
  std::thread watcher([&] {
    while (!done) {
      const int baud = GetLineBaud(Master);
      if (baud != 1200 && baud != 7680 && baud != 0) foreignRate = baud;
    }
  });
  for (int i = 0; i < 400; ++i) ASSERT_TRUE(port.Configure(i % 2 ? 7680 : 1200, 'N'));
  done = true;
  watcher.join();
  EXPECT_EQ(foreignRate, 0);
}

// ---- the built-in port table and unmapped numbers -----------------------------------

std::string BuiltInPathOfPort33() {
  return "/dev/ttyUSB0";
}

TEST_F(PortMapping, BuiltInTableAndRange) {
  const struct {
    int N;
    const char* Path;
  } table[] = {{1, "/dev/ttyS0"},
               {32, "/dev/ttyS31"},
               {33, "/dev/ttyUSB0"},
               {64, "/dev/ttyUSB31"},
               {65, "/dev/ttyACM0"},
               {96, "/dev/ttyACM31"},
               {97, ""},
               {256, ""},
               {0, ""},
               {257, ""}};
  for (const auto& row : table) EXPECT_EQ(PortPath(row.N), row.Path) << row.N;
}

// A number is only a port when the table, the port folder or the process assigned it;
// the words name the folder that was read, since a user may have linked elsewhere.
TEST_F(PortMapping, MissingDeviceSaysWhereItLooked) {
  const std::string folder = Folder.path().toStdString();
  TRS232o port;
  EXPECT_FALSE(port.Open(250, 1200, 'N', 1024, 1024));
  EXPECT_EQ(OpenFailureText(port.LastOpenError()),
            "Com 250 is not assigned to any device. The port folder " + folder +
                " has no entry com250, and the built-in table has no device for 250.");
  ASSERT_TRUE(LinkPortInFolder(250, folder + "/gone"));
  EXPECT_FALSE(port.Open(250, 1200, 'N', 1024, 1024));
  EXPECT_EQ(OpenFailureText(port.LastOpenError()),
            "There is no serial device at Com 250 (" + folder +
                "/gone). It is named by the port folder's entry " + folder + "/com250.");
}
