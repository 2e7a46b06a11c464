// The BX2 driver against a scripted interface on the virtual line (and once against
// the simulator): what goes on the wire, what comes back to callers, recovery.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "link/BX2Driver.h"
#include "sim/Simulator.h"
#include "tests/common/BackendDouble.h"
#include "tests/link/BusDriverTestSupport.h"

namespace {

using TClockNow = std::chrono::steady_clock;

// Payload of a frame (length byte and checksum removed), as hex.
std::string PayloadHex(const std::string& frame) {
  return frame.size() < 2 ? std::string() : Hex(frame.substr(1, frame.size() - 2));
}

struct TFrameCounter {
  void OnFrame(void* sender) {
    ++Calls;
    LastSender = sender;
  }
  std::atomic<int> Calls{0};
  void* LastSender = nullptr;
};

class BX2DriverTest : public ::testing::Test {
 protected:
  void SetUp() override { TBX2Driver::PendingForeignAddress = 255; }

  void Start(bool useDefaultState = true, uint8_t mode = lsKMBus) {
    Driver.reset(TBX2Driver::Create(Wire.Open(2400), useDefaultState, mode));
  }
  // Frames the peer saw from index `from` on, payloads as hex.
  std::vector<std::string> Payloads(size_t from = 0) {
    std::vector<std::string> out;
    const auto frames = Peer->SeenFrames();
    for (size_t i = from; i < frames.size(); ++i) out.push_back(PayloadHex(frames[i].Bytes));
    return out;
  }
  void Inject(const std::string& message) { TBX2Peer::Send(*Wire.Line, message); }
  // Echoes every request with `prefix` + request (for round trips).
  void AnswerWith(const std::string& prefix) {
    Peer->Responder = [prefix](const std::string& request) -> std::optional<std::string> {
      return prefix + request;
    };
  }

  std::shared_ptr<TBX2Peer> Peer = std::make_shared<TBX2Peer>();
  TLinePort Wire{Peer};
  TThreadPtr<TBX2Driver> Driver;
};

TEST_F(BX2DriverTest, StartUpSelectsAddressZeroThenSendsDefaultState) {
  Start();
  const auto frames = Peer->SeenFrames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(Hex(frames[0].Bytes), "04 FF 41 01 00 BB");
  EXPECT_EQ(Hex(frames[1].Bytes), "09 FF 53 04 00 FF 01 10 00 04 8D");
  EXPECT_EQ(Driver->LinkState, lsKMBus);
  EXPECT_EQ(Driver->PendingFlags, 0u);
  EXPECT_EQ(Driver->ConnectedPort(), Wire.Number);
}

TEST_F(BX2DriverTest, UnacknowledgedAddressIsRetriedBeforeTheNextRequest) {
  Peer->AckAddress = false;
  Start();
  EXPECT_EQ(Payloads(), (std::vector<std::string>{"FF 41 01 00", "FF 41 01 00", "FF 41 01 00",
                                                  "FF 53 04 00 FF 01 10 00 04"}));
  EXPECT_TRUE(Driver->PendingFlags & pfSelectAddress);

  Peer->AckAddress = true;
  EXPECT_TRUE(Driver->SendAndConfirm(Bytes({0x05})));
  EXPECT_EQ(Payloads(4), (std::vector<std::string>{"FF 41 01 00", "FF 58 05"}));
  EXPECT_FALSE(Driver->PendingFlags & pfSelectAddress);
}

TEST_F(BX2DriverTest, RequestsCycleTheSequenceLettersXYZ) {
  Start();
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(Driver->SendAndConfirm(Bytes({0x05})));
  const auto frames = Peer->SeenFrames();
  ASSERT_EQ(frames.size(), 6u);
  EXPECT_EQ(Hex(frames[2].Bytes), "03 FF 58 05 A1");
  EXPECT_EQ(Hex(frames[3].Bytes), "03 FF 59 05 A0");
  EXPECT_EQ(Hex(frames[4].Bytes), "03 FF 5A 05 9F");
  EXPECT_EQ(Hex(frames[5].Bytes), "03 FF 58 05 A1");
}

TEST_F(BX2DriverTest, ForeignAddressUsesLowerCaseUntilTheSelectedDeviceIsAddressedAgain) {
  Start();
  EXPECT_TRUE(Driver->SendAndConfirm(Bytes({0x05}), 3));
  EXPECT_EQ(TBX2Driver::PendingForeignAddress, 3);
  EXPECT_TRUE(Driver->SendAndConfirm(Bytes({0x05}), 255));
  EXPECT_EQ(TBX2Driver::PendingForeignAddress, 255);
  EXPECT_TRUE(Driver->SendAndConfirm(Bytes({0x05}), 0));
  EXPECT_EQ(Payloads(2), (std::vector<std::string>{"FF 78 05 03", "FF 79 05 00", "FF 5A 05"}));
}

TEST_F(BX2DriverTest, QueryReturnsTheDeviceReplyWithoutKindByte) {
  Start();
  AnswerWith(Bytes({0x82, 0x01, 0x02, 0x03}));
  std::string text = Bytes({0x05});
  EXPECT_EQ(Driver->Query(text), 5);
  EXPECT_EQ(Hex(text), "82 01 02 03 05");
  EXPECT_EQ(Driver->ReplyCount.Count(), 0);
}

TEST_F(BX2DriverTest, GroupedRepliesAreDeliveredOneByOne) {
  Start();
  Peer->Responder = [](const std::string&) -> std::optional<std::string> {
    return Bytes({0x89, 1, 2, 0x89, 3, 4, 0x89, 5, 6, 0x89, 7, 8});
  };
  std::string text = Bytes({0x09});
  ASSERT_EQ(Driver->Query(text), 3);
  EXPECT_EQ(Hex(text), "89 01 02");
  for (const char* expected : {"89 03 04", "89 05 06", "89 07 08"}) {
    ASSERT_EQ(Driver->NextReply(text, 0), 3);
    EXPECT_EQ(Hex(text), expected);
  }
  EXPECT_EQ(Driver->NextReply(text, 0), 0);

  // Nine bytes do not form the grouped reply: one reply of its own.
  Peer->Responder = [](const std::string&) -> std::optional<std::string> {
    return Bytes({0x89, 1, 2, 0x89, 3, 4, 0x89, 5, 6});
  };
  text = Bytes({0x09});
  EXPECT_EQ(Driver->Query(text), 9);
}

TEST_F(BX2DriverTest, ReplyWithAnotherLetterIsDroppedInKMBusMode) {
  Start();
  ASSERT_TRUE(Driver->SendAndConfirm(Bytes({0x05})));  // sequence is now 'X'
  std::string text;
  Inject(Bytes({0xFF, 'Y', 0x82, 0x01}));
  EXPECT_EQ(Driver->NextReply(text, 150), 0);
  Inject(Bytes({0xFF, 'X', 0x82, 0x02}));
  EXPECT_EQ(Driver->NextReply(text, 500), 2);
  EXPECT_EQ(Hex(text), "82 02");
}

TEST_F(BX2DriverTest, ReplyWithAnotherLetterIsKeptInNineBitMode) {
  Start(true, lsNineBit);
  EXPECT_EQ(Payloads().front(), "FF 41 01 00");  // 9-bit mode always selects 0
  ASSERT_TRUE(Driver->SendAndConfirm(Bytes({0x05})));
  std::string text;
  Inject(Bytes({0xFF, 'Y', 0x82, 0x01}));
  EXPECT_EQ(Driver->NextReply(text, 500), 2);
  EXPECT_EQ(Hex(text), "82 01");
}

TEST_F(BX2DriverTest, FullQueueDropsTheOldestAndNotifiesEveryFrame) {
  Start();
  TFrameCounter counter;
  Driver->SetFrameHandler(NotifyMethod<&TFrameCounter::OnFrame>(&counter));
  std::string burst;
  for (int i = 0; i < 17; ++i) burst += TBX2Peer::FrameOf(Bytes({0x20, i}));
  TBX2Peer::SendRaw(*Wire.Line, burst);
  ASSERT_TRUE(WaitUntil([&] { return counter.Calls == 17; }));
  EXPECT_EQ(counter.LastSender, static_cast<void*>(Driver.get()));
  EXPECT_EQ(Driver->ReplyCount.Count(), 16);
  std::string text;
  ASSERT_EQ(Driver->NextBusFrame(text, 0), 2);
  EXPECT_EQ(Hex(text), "20 01");
  for (int i = 2; i < 17; ++i) ASSERT_EQ(Driver->NextBusFrame(text, 0), 2);
  EXPECT_EQ(Hex(text), "20 10");
  EXPECT_EQ(Driver->NextBusFrame(text, 0), 0);
  EXPECT_EQ(Driver->ReplyCount.Count(), 0);
}

TEST_F(BX2DriverTest, NextReplySkipsBusFramesQueuedBeforeTheReply) {
  Start();
  Inject(Bytes({0x20, 0x07, 0x07}));
  ASSERT_TRUE(WaitUntil([&] { return Driver->ReplyCount.Count() == 1; }));
  AnswerWith(Bytes({0x82}));
  ASSERT_TRUE(Driver->TransmitFrame(Bytes({0x05}), 255, true));
  std::string text;
  EXPECT_EQ(Driver->NextReply(text), 2);
  EXPECT_EQ(Hex(text), "82 05");
  EXPECT_EQ(Driver->ReplyCount.Count(), 0);
}

TEST_F(BX2DriverTest, AddressedQueryWaitsForTheBusFrameWithTheExpectedCode) {
  Start();
  Peer->AddressedResponder = [this](const std::string&) -> std::optional<std::string> {
    Inject(Bytes({0x30, 0x01}));  // unrelated traffic first
    return Bytes({0x20, 0x00, 0x11});
  };
  std::string text = Bytes({0x03});
  EXPECT_TRUE(Driver->AddressedQuery(0, text, -1, 32));
  EXPECT_EQ(Hex(text), "20 00 11");
  EXPECT_EQ(Hex(Peer->SeenFrames().back().Bytes), "06 21 00 00 00 00 03 C4");

  // Without an expected code only the hand-over counts, and text stays.
  Peer->AddressedResponder = nullptr;
  text = Bytes({0x03});
  EXPECT_TRUE(Driver->AddressedQuery(0, text, -1, -1));
  EXPECT_TRUE(Driver->WaitSent());
  EXPECT_EQ(Hex(text), "03");
  // No answer: false after the reply time-out.
  EXPECT_FALSE(Driver->AddressedQuery(0, text, 100, 32));
}

TEST_F(BX2DriverTest, StatusWordComesFromTheLReply) {
  Start();
  Peer->StatusReply = Bytes({0xFF, 'L', 0x01, 0x00, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(Driver->ReadStatusWord(), 0x0020);
  EXPECT_EQ(Hex(Peer->SeenFrames().back().Bytes), "02 FF 4C B3");
  // The blink phase alternates: the second evaluation uses the first byte alone.
  Peer->StatusReply = Bytes({0xFF, 'L', 0x10, 0x30, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(Driver->ReadStatusWord(), 0x0010);
  EXPECT_EQ(Driver->ReadStatusWord(), 0x0001);  // 0x10 ^ 0x30 = 0x20
}

TEST_F(BX2DriverTest, StartWithoutDefaultsLoadsTheInterfaceState) {
  // p6 = 0x08: flag 7 set, link-mode bit clear (9-bit), flag 13 set (bit 6 clear).
  Peer->StateReply = Bytes({0xFF, 'D', 9, 8, 7, 2, 0x08, 5, 0x01});
  Start(false);
  EXPECT_EQ(Hex(Peer->SeenFrames().back().Bytes), "02 FF 44 BB");
  EXPECT_EQ(Driver->LinkState, lsNineBit);
  const TSBlock& block = Driver->SBlock;
  EXPECT_EQ(block[sbByte0], 9);
  EXPECT_EQ(block[sbByte3], 16);
  EXPECT_EQ(block[sbByte4], 5);
  EXPECT_EQ(block[sbFlag7], 1);
  EXPECT_EQ(block[sbFlag9], 1);
  EXPECT_EQ(block[sbFlag12], 0);
  EXPECT_EQ(block[sbFlag13], 1);
}

TEST_F(BX2DriverTest, AnnouncedAddressDecidesWhetherToSelectAgain) {
  Start();
  Driver->SelectAddress(255);
  EXPECT_EQ(Payloads().back(), "FF 41 01 FF");
  Driver->PendingFlags = 0;
  Inject(Bytes({0xFF, 'V', 0x94, 0x3E, 0x11, 0x00, 'B'}));
  ASSERT_TRUE(WaitUntil([&] { return (Driver->PendingFlags & pfSendState) != 0; }));
  EXPECT_FALSE(Driver->PendingFlags & pfSelectAddress);

  Driver->SelectAddress(2);
  Driver->PendingFlags = 0;
  Inject(Bytes({0xFF, 'V', 0x94, 0x3E, 0x11, 0x00, 0x00}));
  ASSERT_TRUE(WaitUntil([&] { return (Driver->PendingFlags & pfSendState) != 0; }));
  EXPECT_TRUE(Driver->PendingFlags & pfSelectAddress);
}

// The link falls silent: after 500 quiet rounds it counts as lost even though copies
// of the driver's own last frame come back; the next send wakes the interface and
// fails; sends work again once the interface has announced itself.
TEST_F(BX2DriverTest, WatchdogExpiryReinitialisesAndRecoversAfterTheAnnouncement) {
  Start();
  const std::string lastFrame = Peer->SeenFrames().back().Bytes;
  const auto silentSince = TClockNow::now();
  ASSERT_TRUE(WaitUntil(
      [&] {
        TBX2Peer::SendRaw(*Wire.Line, lastFrame);  // echoes are no sign of life
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return Driver->LinkState == lsLost;
      },
      10000));
  EXPECT_GT(MsSince(silentSince), 2000);  // rounds that read the echoes count too

  Peer->AnnounceAfterWake = false;
  Peer->ClearSeen();
  auto t0 = TClockNow::now();
  EXPECT_FALSE(Driver->SendAndConfirm(Bytes({0x05})));
  EXPECT_GE(MsSince(t0), 2000);
  EXPECT_EQ(Peer->WakeupCount(), 1);
  const auto wire = Peer->SeenBytes();
  ASSERT_GE(wire.size(), 6u);
  EXPECT_EQ(wire[0].Baud, 115200);
  EXPECT_EQ(wire[4].Value, 0x55);
  EXPECT_EQ(wire[5].Baud, 19200);
  EXPECT_EQ(wire[5].Value, 'A');
  EXPECT_EQ(Driver->LinkState, lsNotReady);

  // Not ready: a query fails after a short pause without touching the line.
  Peer->ClearSeen();
  t0 = TClockNow::now();
  std::string text = Bytes({0x05});
  EXPECT_EQ(Driver->Query(text), 0);
  EXPECT_TRUE(text.empty());
  EXPECT_GE(MsSince(t0), 190);
  EXPECT_LT(MsSince(t0), 1000);
  EXPECT_TRUE(Peer->SeenBytes().empty());

  Inject(Bytes({0xFF, 'V', 0x94, 0x3E, 0x11, 0x00, 0x00}));
  ASSERT_TRUE(WaitUntil([&] { return Driver->LinkState == lsKMBus; }));
  AnswerWith(Bytes({0x82}));
  text = Bytes({0x05});
  EXPECT_EQ(Driver->Query(text), 2);
  EXPECT_EQ(Payloads(), (std::vector<std::string>{"FF 53 04 00 FF 01 10 00 04", "FF 59 05"}));
}

TEST_F(BX2DriverTest, WakeUpAnnouncementIsTakenAfterReinitialise) {
  Start();
  Driver->LinkState = lsLost;
  EXPECT_FALSE(Driver->SendAndConfirm(Bytes({0x05})));
  ASSERT_TRUE(WaitUntil([&] { return Driver->LinkState == lsKMBus; }));
  EXPECT_TRUE(Driver->SendAndConfirm(Bytes({0x05})));
}

TEST_F(BX2DriverTest, LostPortFailsSendsAndStopsPromptly) {
  Start();
  Wire.Line->Vanish();
  ASSERT_TRUE(WaitUntil([&] { return Driver->ConnectedPort() == 0; }));
  EXPECT_TRUE(Driver->PortFailed);
  // Nothing is handed over once the port is gone: sends fail at once (a caller's
  // retries must not each sit out the hand-over time-out), and nothing holds up the stop.
  auto t0 = TClockNow::now();
  EXPECT_FALSE(Driver->SendAndConfirm(Bytes({0x05})));
  EXPECT_FALSE(Driver->TransmitFrame(Bytes({0x05}), 255, true));
  std::string text = Bytes({0x05});
  EXPECT_EQ(Driver->Query(text, 255, 5000), 0);
  EXPECT_LT(MsSince(t0), 500);  // the three together: less than one hand-over wait
  t0 = TClockNow::now();
  Driver.reset();
  EXPECT_LT(MsSince(t0), 2000);
}

// A frame that did not leave (the write failed) is not reported as sent.
TEST_F(BX2DriverTest, AFrameWhoseWriteFailedIsNotReportedAsSent) {
  auto knobs = std::make_shared<TBackendKnobs>();
  auto port = std::make_unique<TRS232o>();
  ASSERT_TRUE(port->OpenOn(std::make_unique<TBackendDouble>(Wire.Line, knobs),
                           static_cast<uint32_t>(Wire.Number), 2400, 'N', 1024, 1024));
  Driver.reset(TBX2Driver::Create(std::move(port), true, lsKMBus));
  ASSERT_TRUE(Driver->SendAndConfirm(Bytes({0x05})));
  knobs->FailWrites = true;
  EXPECT_FALSE(Driver->SendAndConfirm(Bytes({0x05})));
  ASSERT_TRUE(Driver->TransmitFrame(Bytes({0x05}), 255, true));
  EXPECT_FALSE(Driver->WaitSent());
  knobs->FailWrites = false;
  EXPECT_TRUE(Driver->SendAndConfirm(Bytes({0x05})));
  EXPECT_TRUE(Driver->WaitSent());
}

// The driver thread raises itself once it runs and says what it got.
TEST_F(BX2DriverTest, TheRunningThreadReportsThePriorityItWasGranted) {
  Start();
  ASSERT_TRUE(
      WaitUntil([&] { return Driver->GrantedPriority().Kind != TThreadPriority::tpNotAsked; }));
  EXPECT_FALSE(Driver->GrantedPriority().Text.empty());
}

TEST_F(BX2DriverTest, StopEndsTheWaitOfACallerOnAnotherThread) {
  Start();
  Peer->ClearSeen();
  std::atomic<int> result{-1};
  TBX2Driver* driver = Driver.get();  // the caller holds the driver, not the owner's pointer
  std::thread caller([&result, driver] {
    std::string text = Bytes({0x05});
    result = driver->Query(text, 255, 5000);
  });
  // Its request on the wire: the caller is inside Query, waiting for an answer that
  // never comes. Stopping before that would leave Query to run on a destroyed driver.
  const bool waiting = WaitUntil([&] {
    const auto sent = Payloads();  // "FF 58 05": the request 05 in an 'X' frame
    return std::find(sent.begin(), sent.end(), "FF 58 05") != sent.end();
  });
  if (!waiting) {
    caller.join();
    FAIL() << "the query never reached the wire: " << ::testing::PrintToString(Payloads());
  }
  const auto t0 = TClockNow::now();
  Driver.reset();  // Stop (true, true, true)
  caller.join();
  EXPECT_LT(MsSince(t0), 2500);  // well before the caller's own time-out
  EXPECT_EQ(result, 0);
}

TEST_F(BX2DriverTest, BorrowedPortOutlivesTheDriver) {
  auto port = Wire.Open(2400);
  Driver.reset(TBX2Driver::CreateBorrowing(*port, true, lsKMBus));
  EXPECT_FALSE(Driver->OwnsPort);
  EXPECT_EQ(Peer->SeenFrames().size(), 2u);
  Driver.reset();
  EXPECT_EQ(port->PortNumber(), static_cast<uint32_t>(Wire.Number));
  const uint8_t v[] = {0x02, 0xFF, 0x56, 0xA9};
  EXPECT_EQ(port->Write(v, sizeof v), 4);
}

TEST(BX2DriverSimulation, StartsUpAndReadsTheDeviceVersion) {
  StartUnitThreads();
  StartUnitPortMap();
  TBX2Driver::PendingForeignAddress = 255;
  TSimulation sim;
  const int number = sim.RegisterAsPort();
  ASSERT_NE(number, 0);
  auto port = std::make_unique<TRS232o>();
  ASSERT_TRUE(port->Open(static_cast<uint32_t>(number), 2400, 'N', 1024, 1024));
  TThreadPtr<TBX2Driver> driver(TBX2Driver::Create(std::move(port), true, lsKMBus));
  EXPECT_EQ(sim.SelectedAddress(), 0);
  const auto block = sim.StateBlock();
  EXPECT_EQ(Hex(std::string(block.begin(), block.end())), "04 00 FF 01 10 00 04");
  std::string text = Bytes({0x05});
  ASSERT_EQ(driver->Query(text), 5);
  EXPECT_EQ(static_cast<uint8_t>(text[0]), 0x82);
  const uint32_t version = static_cast<uint8_t>(text[1]) | static_cast<uint8_t>(text[2]) << 8 |
                           static_cast<uint8_t>(text[3]) << 16 |
                           static_cast<uint32_t>(static_cast<uint8_t>(text[4])) << 24;
  EXPECT_EQ(version, 2606207u);
}

}  // namespace
