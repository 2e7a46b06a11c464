// The port object's results, deadlines and side effects, over the in-memory line.

#include <gtest/gtest.h>

#include <thread>

#include "serial/PortMap.h"
#include "serial/SerialPort.h"
#include "tests/serial/SerialTestSupport.h"

using namespace std::chrono_literals;

namespace {

constexpr int kPort = 201;

class RS232oVirtual : public ::testing::Test {
 protected:
  void SetUp() override {
    Line->AttachDevice(Device);
    RegisterVirtualPort(kPort, Line);
    ASSERT_TRUE(Port.Open(kPort, 1200, 'N', 1024, 1024));
  }
  void TearDown() override { UnregisterVirtualPort(kPort); }

  std::shared_ptr<TVirtualLine> Line = std::make_shared<TVirtualLine>(false);
  std::shared_ptr<TRecordingDevice> Device = std::make_shared<TRecordingDevice>();
  TRS232o Port;
};

}  // namespace

TEST_F(RS232oVirtual, OpenAppliesTheLineAndDefaultTimeouts) {
  EXPECT_EQ(Port.PortNumber(), uint32_t{kPort});
  EXPECT_EQ(Port.Baud(), 1200);
  EXPECT_EQ(Port.ParityChar(), 'N');
  const TCommTimeouts& t = Port.Timeouts();
  EXPECT_EQ(t.ReadInterval, 100u);
  EXPECT_EQ(t.ReadPerByte, 100u);
  EXPECT_EQ(t.ReadConstant, 0u);
  const TLineState state = Line->HostState();
  EXPECT_TRUE(state.Open);
  EXPECT_EQ(state.Baud, 1200);
  EXPECT_FALSE(state.Dtr);  // held cleared until a caller sets them
  EXPECT_FALSE(state.Rts);
}

TEST_F(RS232oVirtual, SecondOpenerGetsInUseAndFirstKeepsWorking) {
  TRS232o other;
  EXPECT_FALSE(other.Open(kPort, 1200, 'N', 1024, 1024));
  EXPECT_EQ(other.PortNumber(), 0u);
  EXPECT_EQ(other.LastOpenError().Result.Fault, TSerialFault::sfInUse);
  EXPECT_FALSE(OpenFailureText(other.LastOpenError()).empty());
  EXPECT_TRUE(Line->HostState().Open);
  const uint8_t b = 7;
  EXPECT_EQ(Port.Write(&b, 1), 1);
}

// A number no device stands behind (the text that says so is the platform's own).
TEST(RS232oOpen, UnmappedNumberFailsClosed) {
  TRS232o port;
  EXPECT_FALSE(port.Open(250, 1200, 'N', 1024, 1024));
  EXPECT_EQ(port.PortNumber(), 0u);
  EXPECT_FALSE(port.HandleValid());
  EXPECT_EQ(port.LastOpenError().Result.Fault, TSerialFault::sfNotFound);
}

TEST_F(RS232oVirtual, ConfigureStoresRateParityAndMsPerByte) {
  const struct {
    int Baud;
    int MsPerByte;
  } rates[] = {{1200, 9}, {2400, 5}, {7680, 2}, {9600, 2}, {19200, 1}, {115200, 1}};
  for (const auto& r : rates) {
    ASSERT_TRUE(Port.Configure(r.Baud, 'm'));
    EXPECT_EQ(Port.MsPerByte(), r.MsPerByte) << r.Baud;
    EXPECT_EQ(Line->HostState().Baud, r.Baud);
  }
  EXPECT_EQ(Port.ParityChar(), 'M');
  EXPECT_EQ(Line->HostState().Parity, 'M');
  // An unknown letter keeps the parity the device has, but is stored upper-cased.
  ASSERT_TRUE(Port.Configure(2400, 'x'));
  EXPECT_EQ(Port.ParityChar(), 'X');
  EXPECT_EQ(Line->HostState().Parity, 'M');
  EXPECT_FALSE(Port.Configure(0, 'N'));  // no character time at 0 baud
  EXPECT_EQ(Port.Baud(), 2400);
}

TEST_F(RS232oVirtual, ReadTimeoutsAndDeadlines) {
  struct TCase {
    int T;
    uint32_t Interval, PerByte;
    uint32_t Count;
    int Deadline;
  };
  const TCase cases[] = {
      {-1, MaxTimeout, 0, 1, 100}, {-1, MaxTimeout, 0, 500, 100},
      {16, 70, 16, 3, 148},        {10, 70, 10, 1, 110},
      {0, 70, 0, 2, 240},          {150, 150, 150, 1, 250},
  };
  uint8_t buf[512];
  for (const TCase& c : cases) {
    ASSERT_TRUE(Port.SetReadTimeouts(c.T));
    EXPECT_EQ(Port.Timeouts().ReadInterval, c.Interval) << c.T;
    EXPECT_EQ(Port.Timeouts().ReadPerByte, c.PerByte) << c.T;
    EXPECT_EQ(Port.Timeouts().ReadConstant, 0u);
    Port.StartRead(buf, c.Count);
    EXPECT_EQ(Port.ReadDeadline(), c.Deadline) << c.T;
    Port.PurgeAll();
    EXPECT_EQ(Port.WaitRead(), 0);  // the purge abandoned the read
  }
  // A first-byte read restores the interval through SetReadTimeouts.
  Port.SetReadTimeouts(16);
  Port.Read(buf, 1, 5);
  EXPECT_EQ(Port.Timeouts().ReadInterval, 70u);
  EXPECT_EQ(Port.Timeouts().ReadPerByte, 70u);
}

TEST_F(RS232oVirtual, MaximumMarkerFormsAreAssertions) {
  uint8_t buf[4];
  ASSERT_TRUE(Port.SetTimeouts({MaxTimeout, MaxTimeout, 50, 0, 0}));
  EXPECT_TRUE(Port.StartRead(buf, 4));
  EXPECT_EQ(Port.ReadDeadline(), 150);
  Port.PurgeAll();
  for (TCommTimeouts bad :
       {TCommTimeouts{MaxTimeout, MaxTimeout, 0, 0, 0},
        TCommTimeouts{MaxTimeout, MaxTimeout, MaxTimeout, 0, 0},
        TCommTimeouts{MaxTimeout, 5, 0, 0, 0}, TCommTimeouts{MaxTimeout, 0, 7, 0, 0}}) {
    Port.SetTimeouts(bad);
    try {
      Port.StartRead(buf, 1);
      ADD_FAILURE() << "no assertion for " << bad.ReadPerByte << "/" << bad.ReadConstant;
    } catch (const EAssertionFailure& e) {
      EXPECT_STREQ(e.what(), "Assertion failure");
      EXPECT_EQ(e.Unit, "RS232o");
    }
  }
}

TEST_F(RS232oVirtual, FirstByteReadGetsNothingOrEverything) {
  uint8_t buf[4] = {};
  TLineTime start = TLineClock::now();
  EXPECT_EQ(Port.Read(buf, 4, 30), 0);
  EXPECT_LT(MsSince(start), 30 * 25);             // milliseconds, not a unit slip
  EXPECT_EQ(Port.PortNumber(), uint32_t{kPort});  // nothing arriving is not a lost port

  Line->SendToHost({0x11, 0x22, 0x33, 0x44}, 1200, -1, TLineClock::now() + 15ms);
  start = TLineClock::now();
  EXPECT_EQ(Port.Read(buf, 4, 10000), 4);
  EXPECT_EQ(buf[0], 0x11);
  EXPECT_EQ(buf[3], 0x44);
  EXPECT_LT(MsSince(start), 5000);  // with the bytes, well before the deadline
}

TEST_F(RS232oVirtual, ImmediateFormReturnsWhatIsBuffered) {
  Port.SetReadTimeouts(-1);
  uint8_t buf[8] = {};
  EXPECT_EQ(Port.Read(buf, 8, -1), 0);
  Line->SendToHost({1, 2, 3}, 1200);
  const TLineTime start = TLineClock::now();
  EXPECT_EQ(Port.Read(buf, 8, -1), 3);
  EXPECT_LT(MsSince(start), 1000);  // at once, not after a default wait
}

TEST_F(RS232oVirtual, HungReadLeavesThePortReopenedButCountedClosed) {
  Port.ClearDtr(false);
  Port.SetReadTimeouts(0);  // no total limit: only the wait's deadline ends it
  uint8_t b = 0;
  const TLineTime start = TLineClock::now();
  EXPECT_EQ(Port.Read(&b, 1, -1), -1);
  EXPECT_GE(MsSince(start), 169);
  EXPECT_EQ(Port.PortNumber(), 0u);
  EXPECT_TRUE(Port.HandleValid());
  EXPECT_EQ(Port.Baud(), 115200);  // the value of the switch on the way out
  const TLineState state = Line->HostState();
  EXPECT_TRUE(state.Open);
  EXPECT_EQ(state.Baud, 1200);  // the old settings are back on the line
  EXPECT_TRUE(state.Dtr);
  EXPECT_FALSE(state.Rts);
  Line->SendToHost({5}, 1200);
  Port.StartRead(&b, 1);
  EXPECT_EQ(Port.WaitRead(), 0);
  EXPECT_EQ(Port.Write(&b, 1), 0);
}

TEST_F(RS232oVirtual, CloseSwitchesTheBaudRateFirst) {
  Port.Close();
  EXPECT_EQ(Port.Baud(), 115200);
  EXPECT_EQ(Port.PortNumber(), 0u);
  ASSERT_TRUE(Port.Open(kPort, 115200, 'N', 1024, 1024));
  Port.Close();
  EXPECT_EQ(Port.Baud(), 57600);
  const auto states = Device->LineStates();
  ASSERT_GE(states.size(), 2u);
  EXPECT_EQ(states[states.size() - 2].Baud, 57600);  // switched while still open
  EXPECT_FALSE(states.back().Open);
}

TEST_F(RS232oVirtual, VanishedLineIsALostPortAndNothingHangs) {
  uint8_t b[2] = {};
  Port.SetReadTimeouts(10000);
  Line->SendToHost({7}, 1200);
  Port.StartRead(b, 2);
  // Once the read has taken the first byte it can only be waiting for the second:
  // the line vanishes under a waiting read, not before it.
  std::thread puller([this] {
    const TLineTime guard = TLineClock::now() + 10s;
    while (Line->HostAvailable() > 0 && TLineClock::now() < guard) std::this_thread::yield();
    Line->Vanish();
  });
  const TLineTime start = TLineClock::now();
  EXPECT_EQ(Port.WaitRead(), -1);
  puller.join();
  EXPECT_LT(MsSince(start), 5000);  // at the loss, well before the read's time-out
  EXPECT_EQ(Port.PortNumber(), 0u);
  EXPECT_FALSE(Port.HandleValid());  // the device could not be opened again
  EXPECT_EQ(Port.Read(b, 1, 10), 0);
  EXPECT_FALSE(Port.ClearErrors());
}

TEST_F(RS232oVirtual, NinthBitSchemeReportsParityErrorsPerByte) {
  ASSERT_TRUE(Port.Configure(1200, 'S'));
  Port.SetReadTimeouts(16);
  Line->SendToHost({TWireByte{0x20, 1, 1200}, TWireByte{0x21, 0, 1200}});
  uint8_t b = 0;
  ASSERT_EQ(Port.Read(&b, 1, -1), 1);
  ASSERT_TRUE(Port.ClearErrors());
  EXPECT_EQ(Port.LastErrors(), uint32_t{leParity});
  EXPECT_EQ(b, 0x20);
  ASSERT_EQ(Port.Read(&b, 1, -1), 1);
  ASSERT_TRUE(Port.ClearErrors());
  EXPECT_EQ(Port.LastErrors(), 0u);
  // Sending with mark parity puts a 1 in the ninth bit.
  ASSERT_TRUE(Port.Configure(1200, 'M'));
  ASSERT_EQ(Port.Write(&b, 1), 1);
  EXPECT_EQ(Device->ReceivedBytes().back().Ninth, 1);
}

TEST_F(RS232oVirtual, WriteDeadlineAndTrace) {
  std::vector<TTraceBurst> bursts;
  Port.SetTrace([&](const TTraceBurst& b) { bursts.push_back(b); });
  Device->Echo = true;
  const uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(Port.Write(data, 10), 10);
  EXPECT_EQ(Port.WriteDeadline(), 190);  // 10 x 9 ms + 100 at 1200 baud
  uint8_t echo[10] = {};
  EXPECT_EQ(Port.Read(echo, 10, 50), 10);
  ASSERT_EQ(bursts.size(), 3u);  // sent, first byte, the rest
  EXPECT_TRUE(bursts[0].Sent);
  EXPECT_EQ(bursts[0].Bytes.size(), 10u);
  EXPECT_EQ(bursts[0].Baud, 1200);
  EXPECT_EQ(bursts[0].PortNumber, uint32_t{kPort});
  EXPECT_FALSE(bursts[1].Sent);
  EXPECT_EQ(bursts[1].Bytes.size() + bursts[2].Bytes.size(), 10u);
}

TEST_F(RS232oVirtual, ModemLinesAndBreak) {
  EXPECT_TRUE(Port.ClearDtr(false));
  EXPECT_TRUE(Port.ClearRts(false));
  EXPECT_TRUE(Port.SetBreak(true));
  TLineState s = Line->HostState();
  EXPECT_TRUE(s.Dtr && s.Rts && s.Break);
  // Configure re-applies the lines as the object holds them.
  EXPECT_TRUE(Port.ClearRts(true));
  EXPECT_TRUE(Port.Configure(2400, 'N'));
  s = Line->HostState();
  EXPECT_TRUE(s.Dtr);
  EXPECT_FALSE(s.Rts);
}
