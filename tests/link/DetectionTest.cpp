// Interface detection against the simulator and against scripted peers on the
// virtual line: each detection result with its log lines, and hostile line contents.

#include <gtest/gtest.h>

#include <ostream>

#include <chrono>
#include <random>
#include <thread>

#include "link/BX1Driver.h"
#include "link/BX2Driver.h"
#include "link/Detection.h"
#include "sim/Simulator.h"
#include "tests/link/DetectionTestSupport.h"

namespace {

using namespace std::chrono_literals;

class DetectionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartDetectionUnits(); }
};

struct TOpenSim {
  explicit TOpenSim(TSimOptions options) : Sim(std::move(options)) {
    Port = std::make_unique<TRS232o>();
    Port->Open(static_cast<uint32_t>(Sim.RegisterAsPort()), 1200, 'N', 1024, 1024);
  }
  TSimulation Sim;
  std::unique_ptr<TRS232o> Port;
};

TSimOptions Bx2Options(uint32_t version, TSimBusMode mode = TSimBusMode::KMBus, int resets = 1) {
  TSimOptions options;
  options.InterfaceVersion = version;
  options.BusMode = mode;
  options.NineBitResets = resets;
  return options;
}

std::string Bx2Line(const char* version, const char* mode, bool answeredAtOnce) {
  return std::string("  BX2 detected\r    Version: ") + version + "\r    mode: " + mode +
         (answeredAtOnce ? "\r    New bootblock" : "\r    Old bootblock");
}

// ---- results and log lines through DetectInterface, against the simulator ----------

struct TSimCase {
  const char* Name;
  TSimOptions Options;
  const char* ProbeLine;
  std::string DetectedLine;
  bool WantBx2;
  bool WantBx1;
};
void PrintTo(const TSimCase& c, std::ostream* os) {
  *os << c.Name;
}

class DetectionSimTest : public DetectionTest, public ::testing::WithParamInterface<TSimCase> {};

TEST_P(DetectionSimTest, ResultLogLinesAndDriver) {
  const TSimCase& c = GetParam();
  TOpenSim open(c.Options);
  ASSERT_NE(open.Port->PortNumber(), 0u);
  TLogCapture log;
  TPromptScript prompts({drNo});
  TThreadPtr<TBusDriver> driver = DetectInterface(open.Port, nullptr, 0, DefaultDetectFlags);

  EXPECT_EQ(log.StartingWith("AutoDetectResult: "), std::vector<std::string>{c.ProbeLine});
  EXPECT_TRUE(log.Contains(c.DetectedLine)) << c.DetectedLine;
  EXPECT_EQ(dynamic_cast<TBX2Driver*>(driver.get()) != nullptr, c.WantBx2);
  EXPECT_EQ(dynamic_cast<TBX1Driver*>(driver.get()) != nullptr, c.WantBx1);
  // A driver takes the port over; without one the caller keeps it.
  EXPECT_EQ(open.Port == nullptr, driver != nullptr);
}

TSimOptions Bx1Options() {
  TSimOptions options;
  options.Interface = TSimInterface::Bx1;
  return options;
}

TSimOptions BadlyProgrammedOptions() {
  TSimOptions options;
  options.Interface = TSimInterface::Bx2BadlyProgrammed;
  return options;
}

INSTANTIATE_TEST_SUITE_P(
    Interfaces, DetectionSimTest,
    ::testing::Values(
        TSimCase{"Bx1", Bx1Options(), "AutoDetectResult: 2,2", "  BX1 detected", false, true},
        TSimCase{"WorkingBx2", Bx2Options(1130132), "AutoDetectResult: 3",
                 Bx2Line("1130132", "KMBus", true), true, false},
        TSimCase{"NineBitBx2ResetToKMBus", Bx2Options(1130132, TSimBusMode::NineBit, 1),
                 "AutoDetectResult: 3", Bx2Line("1130132", "KMBus", true), true, false},
        TSimCase{"NineBitBx2StaysNineBit", Bx2Options(1130132, TSimBusMode::NineBit, 99),
                 "AutoDetectResult: 3", Bx2Line("1130132", "KM 9 bit", true), true, false},
        TSimCase{"BadlyProgrammedBx2", BadlyProgrammedOptions(), "AutoDetectResult: 1",
                 "  Badly programmed BX2 detected", false, false}),
    [](const ::testing::TestParamInfo<TSimCase>& p) { return std::string(p.param.Name); });

TEST_F(DetectionTest, NineBitInterfaceIsResetAtMostUntilFiveAnswers) {
  TOpenSim open(Bx2Options(1130132, TSimBusMode::NineBit, 99));
  int32_t version = 0;
  uint8_t mode = 0;
  EXPECT_EQ(AutoDetect(*open.Port, version, mode), adBX2);
  EXPECT_EQ(mode, imNineBit);
  EXPECT_EQ(version, 1130132);
  // The first 'V', then five rounds of 'R' and 'V'.
  EXPECT_EQ(open.Sim.Stats().HostFrames, 11);
}

TEST_F(DetectionTest, BorrowedPortOutlivesTheDriver) {
  TSimulation sim(Bx2Options(1130132));
  TRS232o port;
  ASSERT_TRUE(port.Open(static_cast<uint32_t>(sim.RegisterAsPort()), 1200, 'N', 1024, 1024));
  TThreadPtr<TBusDriver> driver = DetectInterfaceBorrowed(port, nullptr, 0, DefaultDetectFlags);
  ASSERT_NE(dynamic_cast<TBX2Driver*>(driver.get()), nullptr);
  driver.reset();
  // Still the caller's, still open, and still answering.
  int32_t version = 0;
  uint8_t mode = 0;
  EXPECT_TRUE(QueryVersionRaw(port, version, mode));
  EXPECT_EQ(version, 1130132);
}

TEST_F(DetectionTest, NothingOnTheLineGivesNoDriverAndKeepsThePort) {
  TScriptedPort line([](TVirtualLine&, const TWireByte&) {});
  TLogCapture log;
  TThreadPtr<TBusDriver> driver = DetectInterface(line.Port, nullptr, 0, DefaultDetectFlags);
  EXPECT_EQ(driver, nullptr);
  ASSERT_NE(line.Port, nullptr);
  EXPECT_NE(line.Port->PortNumber(), 0u);
  EXPECT_EQ(log.Messages(), std::vector<std::string>{"AutoDetectResult: 0"});
}

TEST_F(DetectionTest, ClosedPortIsLoggedAndGetsNoDriver) {
  TRS232o closed;
  TLogCapture log;
  int32_t version = 0;
  uint8_t mode = 0;
  EXPECT_EQ(AutoDetect(closed, version, mode), adNothing);
  EXPECT_EQ(log.Messages(), std::vector<std::string>{"AutoDetectResult: "});

  auto port = std::make_unique<TRS232o>();
  EXPECT_EQ(DetectInterface(port, nullptr, 0, DefaultDetectFlags), nullptr);
  EXPECT_NE(port, nullptr);
  std::unique_ptr<TRS232o> none;
  EXPECT_EQ(DetectInterface(none, nullptr, 0, DefaultDetectFlags), nullptr);
}

// A BX2 that has fallen silent: the line echoes (as if looped back) until the
// wake-up sequence, after which the interface answers the 'V' query.
TEST_F(DetectionTest, Bx2AnsweringAfterTheWakeUpIsReportedWithTheOldBootblock) {
  struct TState {
    int WakeBytes = 0;
    bool Awake = false;
    TQueryWatcher Query;
  };
  auto state = std::make_shared<TState>();
  TScriptedPort line([state](TVirtualLine& wire, const TWireByte& byte) {
    if (byte.Baud == 115200) {
      state->WakeBytes = byte.Value == 0x55 ? state->WakeBytes + 1 : 0;
    } else if (byte.Baud == 19200 && byte.Value == 'A' && state->WakeBytes >= 5) {
      state->Awake = true;
    } else if (!state->Awake && byte.Baud == 2400) {
      wire.SendToHost(std::vector<uint8_t>{byte.Value}, 2400);
    } else if (state->Awake && state->Query.Feed(byte)) {
      wire.SendToHost(HandFrame(VersionPayload(1130132, 0)), 2400);
    }
  });
  TLogCapture log;
  int32_t version = 0;
  uint8_t mode = 0;
  EXPECT_EQ(AutoDetect(*line.Port, version, mode), adWokenBX2);
  EXPECT_EQ(version, 1130132);
  EXPECT_EQ(mode, imKMBus);
  EXPECT_EQ(log.Messages(), std::vector<std::string>{"AutoDetectResult: 2,3"});
  EXPECT_EQ(DetectionLogLine(adWokenBX2, version, mode), Bx2Line("1130132", "KMBus", false));
}

// ---- hostile line contents ---------------------------------------------------------------

// Answers each raw 'V' query with the given bytes.
TScriptedPeer::THandler AnswerQueryWith(std::vector<uint8_t> reply) {
  auto watcher = std::make_shared<TQueryWatcher>();
  return [watcher, reply](TVirtualLine& wire, const TWireByte& byte) {
    if (watcher->Feed(byte)) wire.SendToHost(reply, 2400);
  };
}

std::vector<uint8_t> WrongMarkerFrame() {
  std::vector<uint8_t> payload = VersionPayload(1130132, 0);
  payload[0] = 0xFE;
  return HandFrame(payload);
}

std::vector<uint8_t> HalfFrame() {
  std::vector<uint8_t> frame = HandFrame(VersionPayload(1130132, 0));
  frame.resize(frame.size() / 2);
  return frame;
}

std::vector<uint8_t> BadSumFrame() {
  std::vector<uint8_t> frame = HandFrame(VersionPayload(1130132, 0));
  frame.back() ^= 0x01;
  return frame;
}

// Replies at every baud rate with seeded random bytes, never an echo of the 'H'
// probe and never a run of the boot loader's 0x11.
TScriptedPeer::THandler RandomBytes() {
  auto random = std::make_shared<std::mt19937>(1234);
  return [random](TVirtualLine& wire, const TWireByte& byte) {
    static const int bauds[] = {1200, 2400, 9600, 19200, 115200};
    std::vector<uint8_t> noise(1 + (*random)() % 4);
    for (auto& b : noise) {
      do b = static_cast<uint8_t>((*random)());
      while (b == 'H' || b == 0x11 || b == byte.Value);
    }
    wire.SendToHost(noise, bauds[(*random)() % 5]);
  };
}

struct TGarbageCase {
  const char* Name;
  std::function<TScriptedPeer::THandler()> Peer;
};
void PrintTo(const TGarbageCase& c, std::ostream* os) {
  *os << c.Name;
}

class DetectionGarbageTest : public DetectionTest,
                             public ::testing::WithParamInterface<TGarbageCase> {};

TEST_P(DetectionGarbageTest, RecognisesNothingAndLeavesThePortUsable) {
  TScriptedPort line(GetParam().Peer());
  const auto start = std::chrono::steady_clock::now();
  TThreadPtr<TBusDriver> driver = DetectInterface(line.Port, nullptr, 0, DefaultDetectFlags);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(driver, nullptr);
  ASSERT_NE(line.Port, nullptr);
  EXPECT_NE(line.Port->PortNumber(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    LineContents, DetectionGarbageTest,
    ::testing::Values(TGarbageCase{"WrongMarker",
                                   [] { return AnswerQueryWith(WrongMarkerFrame()); }},
                      TGarbageCase{"HalfFrame", [] { return AnswerQueryWith(HalfFrame()); }},
                      TGarbageCase{"BadChecksum", [] { return AnswerQueryWith(BadSumFrame()); }},
                      TGarbageCase{"RandomBytes", [] { return RandomBytes(); }}),
    [](const ::testing::TestParamInfo<TGarbageCase>& p) { return std::string(p.param.Name); });

TEST_F(DetectionTest, LineVanishingDuringTheQueryEndsDetectionWithThePortLost) {
  auto watcher = std::make_shared<TQueryWatcher>();
  TScriptedPort line([watcher](TVirtualLine& wire, const TWireByte& byte) {
    if (watcher->Feed(byte)) wire.Vanish();
  });
  const auto start = std::chrono::steady_clock::now();
  TThreadPtr<TBusDriver> driver = DetectInterface(line.Port, nullptr, 0, DefaultDetectFlags);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(driver, nullptr);
  ASSERT_NE(line.Port, nullptr);
  EXPECT_EQ(line.Port->PortNumber(), 0u);
}

// A peer that keeps talking must not hold the raw sender in its discard loop: on a
// paced line, 2000 bytes at 2400 baud take more than 8 s to arrive.
TEST_F(DetectionTest, EndlessInputDoesNotHoldTheSender) {
  auto line = std::make_shared<TVirtualLine>(true);
  const int number = RegisterVirtualPortAnywhere(line);
  TRS232o port;
  ASSERT_TRUE(port.Open(static_cast<uint32_t>(number), 2400, 'N', 1024, 1024));
  line->SendToHost(std::vector<uint8_t>(2000, 0x5A), 2400);
  std::this_thread::sleep_for(50ms);
  const auto start = std::chrono::steady_clock::now();
  SendRawFrame(port, "V");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_NE(port.PortNumber(), 0u);
  line->CancelToHost();
  UnregisterVirtualPort(number);
}

// ---- raw frame parsing and the state probe --------------------------------------------------

struct TParseCase {
  const char* Name;
  std::vector<uint8_t> Frame;
  int Min, Max;
  bool Ok;
  std::vector<uint8_t> Message;
};
void PrintTo(const TParseCase& c, std::ostream* os) {
  *os << c.Name;
}

class RawFrameParseTest : public ::testing::TestWithParam<TParseCase> {};

TEST_P(RawFrameParseTest, AcceptsOnlyCheckedInterfaceFrames) {
  const TParseCase& c = GetParam();
  std::string message;
  EXPECT_EQ(ParseRawFrame(c.Frame.data(), c.Frame.size(), c.Min, c.Max, message), c.Ok);
  if (c.Ok) {
    EXPECT_EQ(message, std::string(c.Message.begin(), c.Message.end()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, RawFrameParseTest,
    ::testing::Values(
        TParseCase{"VersionReply",
                   HandFrame({0xFF, 'V', 1, 2, 3, 4, 'W'}),
                   6,
                   9,
                   true,
                   {0xFF, 'V', 1, 2, 3, 4, 'W'}},
        TParseCase{"WrongMarkerRightSum", HandFrame({0xFE, 'V', 1, 2, 3, 4}), 6, 9, false, {}},
        TParseCase{"BadSum", {0x02, 0xFF, 0x56, 0xA8}, 2, 9, false, {}},
        TParseCase{"ShorterThanMinimum", HandFrame({0xFF, 'S'}), 6, 9, false, {}},
        TParseCase{
            "LongerThanMaximum", HandFrame({0xFF, 'V', 1, 2, 3, 4, 5, 6, 7, 8}), 6, 9, false, {}},
        TParseCase{"TruncatedFrame", {0x03, 0xFF, 0x56}, 2, 9, false, {}},
        // Bit 7 of the length: two status bytes follow the message and are not part of it.
        TParseCase{
            "StatusBytesStripped", {0x84, 0xFF, 'S', 0x11, 0x22, 0xF7}, 2, 9, true, {0xFF, 'S'}},
        TParseCase{"StatusLengthWithoutMessage", {0x82, 0x11, 0x22, 0x4B}, 0, 9, false, {}}),
    [](const ::testing::TestParamInfo<TParseCase>& p) { return std::string(p.param.Name); });

TEST_F(DetectionTest, StateProbeSendsTheStateCommandAndNeedsItsReply) {
  for (bool answer : {true, false}) {
    auto received = std::make_shared<std::vector<uint8_t>>();
    TScriptedPort line([received, answer](TVirtualLine& wire, const TWireByte& byte) {
      received->push_back(byte.Value);
      if (answer && received->size() == 9) wire.SendToHost(HandFrame({0xFF, 'S'}), 2400);
    });
    EXPECT_EQ(SendStateRaw(*line.Port), answer);
    EXPECT_EQ(*received, (std::vector<uint8_t>{0x07, 0xFF, 'S', 0, 0, 0, 0, 4, 0xA3}));
  }
}

TEST(ModeNames, KnownModesAndOthersLeftAlone) {
  const std::pair<uint8_t, const char*> names[] = {
      {0, "Unknown"}, {1, "KMBus"}, {2, "KM 9 bit"}, {3, "Transparant"}, {4, "before"}};
  for (const auto& [mode, name] : names) {
    std::string text = "before";
    ModeName(mode, text);
    EXPECT_EQ(text, name);
  }
}

}  // namespace
