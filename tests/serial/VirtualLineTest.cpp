#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "serial/VirtualLine.h"
#include "tests/serial/SerialTestSupport.h"

using namespace std::chrono_literals;

namespace {

struct TLine {
  explicit TLine(bool paced = false) : Line(std::make_shared<TVirtualLine>(paced)) {
    Line->AttachDevice(Device);
    Line->HostOpen();
  }
  std::shared_ptr<TVirtualLine> Line;
  std::shared_ptr<TRecordingDevice> Device = std::make_shared<TRecordingDevice>();
};

int ReadAll(TVirtualLine& line, uint8_t* buf, size_t n, uint32_t* errors,
            std::chrono::milliseconds wait = 50ms) {
  return line.HostRead(buf, n, TLineClock::now() + wait, 0us, errors);
}

}  // namespace

TEST(VirtualLine, HostParityBecomesTheNinthBit) {
  struct TCase {
    char Parity;
    uint8_t Value;
    int Ninth;
  };
  const TCase cases[] = {{'N', 0x03, -1}, {'M', 0x00, 1}, {'S', 0xFF, 0}, {'E', 0x01, 1},
                         {'E', 0x03, 0},  {'O', 0x01, 0}, {'O', 0x03, 1}};
  for (const TCase& c : cases) {
    TLine t;
    t.Line->HostConfigure(1200, c.Parity);
    ASSERT_TRUE(t.Line->HostWrite(&c.Value, 1));
    const auto bytes = t.Device->ReceivedBytes();
    ASSERT_EQ(bytes.size(), 1u);
    EXPECT_EQ(bytes[0].Value, c.Value) << c.Parity;
    EXPECT_EQ(bytes[0].Ninth, c.Ninth) << c.Parity << " " << int(c.Value);
    EXPECT_EQ(bytes[0].Baud, 1200);
  }
}

TEST(VirtualLine, HostReceivesLineErrorsByItsOwnSettings) {
  struct TCase {
    char HostParity;
    int HostBaud;
    TWireByte Sent;
    uint32_t Extra;
    uint32_t Errors;
  };
  const TCase cases[] = {
      {'S', 1200, {0x41, 1, 1200}, 0, leParity},  // ninth bit 1 while listening with space
      {'S', 1200, {0x41, 0, 1200}, 0, 0},
      {'M', 1200, {0x41, 1, 1200}, 0, 0},
      {'E', 9600, {0x01, 0, 9600}, 0, leParity},
      {'N', 9600, {0x55, -1, 9600}, 0, 0},
      {'N', 9600, {0x55, -1, 9600}, leOverrun, leOverrun},
      {'N', 2400, {0x55, -1, 19200}, 0, leFraming},  // the sender's rate differs
  };
  for (const TCase& c : cases) {
    TLine t;
    t.Line->HostConfigure(c.HostBaud, c.HostParity);
    t.Line->SendToHost({c.Sent}, TLineTime{}, c.Extra);
    uint8_t b = 0;
    uint32_t errors = 0;
    ASSERT_EQ(ReadAll(*t.Line, &b, 1, &errors), 1);
    EXPECT_EQ(errors, c.Errors) << c.HostParity << " " << c.HostBaud;
    if (c.Sent.Baud == c.HostBaud) {
      EXPECT_EQ(b, c.Sent.Value);
    } else {
      EXPECT_NE(b, c.Sent.Value);  // sampled at the wrong rate
    }
  }
}

TEST(VirtualLine, BytesArrivingWhileClosedAreLost) {
  TLine t;
  t.Line->HostConfigure(9600, 'N');
  t.Line->HostClose();
  t.Line->SendToHost({1, 2, 3}, 9600);
  t.Line->HostOpen();
  t.Line->HostConfigure(9600, 'N');
  t.Line->SendToHost({4}, 9600);
  uint8_t buf[4] = {};
  ASSERT_EQ(ReadAll(*t.Line, buf, 4, nullptr, 20ms), 1);
  EXPECT_EQ(buf[0], 4);
}

TEST(VirtualLine, ReadEndsAtTheGapAfterABurst) {
  TLine t;
  t.Line->HostConfigure(9600, 'N');
  const TLineTime now = TLineClock::now();
  t.Line->SendToHost({1, 2}, 9600, -1, now);
  t.Line->SendToHost({3}, 9600, -1, now + 1s);
  uint8_t buf[3] = {};
  const TLineTime start = TLineClock::now();
  EXPECT_EQ(t.Line->HostRead(buf, 3, start + 5s, 40ms, nullptr), 2);
  EXPECT_LT(MsSince(start), 1000);  // at the gap, not at the deadline or the third byte
  EXPECT_EQ(t.Line->HostRead(buf, 3, TLineClock::now() + 5s, 40ms, nullptr), 1);
  EXPECT_EQ(buf[0], 3);
}

TEST(VirtualLine, BufferedBytesDoNotCutTheIntervalShort) {
  TLine t;
  t.Line->HostConfigure(9600, 'N');
  t.Line->SendToHost({1, 2}, 9600);
  std::this_thread::sleep_for(100ms);  // they wait in the buffer longer than the interval
  t.Line->SendToHost({3}, 9600, -1, TLineClock::now() + 20ms);
  uint8_t buf[3] = {};
  EXPECT_EQ(t.Line->HostRead(buf, 3, TLineClock::now() + 1s, 40ms, nullptr), 3);
}

TEST(VirtualLine, PacedTimingFollowsTheBaudRate) {
  TLine t(true);
  t.Line->HostConfigure(1200, 'N');
  const uint8_t data[10] = {};
  TLineTime start = TLineClock::now();
  ASSERT_TRUE(t.Line->HostWrite(data, 10));
  const double writeMs = MsSince(start);  // 10 characters of 10 bits at 1200 baud
  EXPECT_GE(writeMs, 83.0);
  EXPECT_LT(writeMs, 83.0 * 4);

  start = TLineClock::now();
  t.Line->SendToHost(std::vector<uint8_t>(12, 0x55), 1200, 1);  // 11-bit characters
  uint8_t buf[12];
  ASSERT_EQ(t.Line->HostRead(buf, 12, start + 1s, 0us, nullptr), 12);
  const double readMs = MsSince(start);
  EXPECT_GE(readMs, 12 * 11 * 1000.0 / 1200 - 1);
  EXPECT_LT(readMs, 110.0 * 4);
  EXPECT_EQ(TVirtualLine::CharMicros(1200, true), 9167);
  EXPECT_EQ(TVirtualLine::CharMicros(115200, false), 87);
}

TEST(VirtualLine, VanishEndsAWaitingReadAndFailsWrites) {
  TLine t;
  t.Line->HostConfigure(9600, 'N');
  t.Line->SendToHost({7}, 9600);
  auto reader = std::async(std::launch::async, [&] {
    uint8_t b[2];
    return t.Line->HostRead(b, 2, TLineClock::now() + 10s, 0us, nullptr);
  });
  // The reader has taken the first byte and, holding no lock, can only be waiting
  // for the second.
  const TLineTime taken = TLineClock::now() + 10s;
  while (t.Line->HostAvailable() > 0) {
    ASSERT_LT(TLineClock::now(), taken);
    std::this_thread::yield();
  }
  t.Line->Vanish();
  // Well before the read's own deadline of 10 s.
  ASSERT_EQ(reader.wait_for(3s), std::future_status::ready);
  EXPECT_EQ(reader.get(), -1);
  const uint8_t b = 1;
  EXPECT_FALSE(t.Line->HostWrite(&b, 1));
  t.Line->Reconnect();
  EXPECT_TRUE(t.Line->HostWrite(&b, 1));
}

TEST(VirtualLine, ModemLinesAndBreakReachTheDevice) {
  TLine t;
  t.Line->HostConfigure(2400, 'E');
  t.Line->HostSetDtr(true);
  t.Line->HostSetRts(true);
  t.Line->HostSetBreak(true);
  t.Line->HostSetBreak(true);  // no change, no notice
  const auto states = t.Device->LineStates();
  ASSERT_EQ(states.size(), 5u);  // open, configure, DTR, RTS, break
  EXPECT_EQ(states.back().Baud, 2400);
  EXPECT_EQ(states.back().Parity, 'E');
  EXPECT_TRUE(states.back().Dtr && states.back().Rts && states.back().Break);
  t.Line->HostClose();
  const TLineState closed = t.Line->HostState();
  EXPECT_FALSE(closed.Open || closed.Dtr || closed.Rts || closed.Break);
}

TEST(VirtualLine, PurgeDropsArrivedBytesButNotScheduledOnes) {
  TLine t;
  t.Line->HostConfigure(9600, 'N');
  t.Line->SendToHost({1, 2}, 9600);
  t.Line->SendToHost({3}, 9600, -1, TLineClock::now() + 30ms);
  t.Line->HostPurgeReceive();
  EXPECT_EQ(t.Line->HostAvailable(), 0u);
  uint8_t buf[2] = {};
  ASSERT_EQ(ReadAll(*t.Line, buf, 2, nullptr, 200ms), 1);
  EXPECT_EQ(buf[0], 3);
}
