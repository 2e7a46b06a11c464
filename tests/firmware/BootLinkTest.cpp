#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <string>
#include <thread>

#include "firmware/BootLink.h"
#include "support/Tools.h"

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

// A line that delivers scripted bytes; a read past them times out.
class TScriptedLine {
 public:
  explicit TScriptedLine(const std::string& bytes) : Pending(bytes.begin(), bytes.end()) {}
  TBootByteReader Reader() {
    return [this](uint8_t* buffer, int count, int /*first*/) {
      int n = 0;
      while (n < count && !Pending.empty()) {
        buffer[n++] = static_cast<uint8_t>(Pending.front());
        Pending.pop_front();
      }
      return n;
    };
  }
  size_t Left() const { return Pending.size(); }

 private:
  std::deque<char> Pending;
};

TEST(BootLinkFrame, ChecksumMakesTheSumZero) {
  for (const std::string& payload : {Bytes({0x05}), Bytes({0x01, 0xFF, 0x80}), std::string("W")}) {
    EXPECT_EQ(BootByteSum(AppendChecksum(payload)), 0) << payload.size();
  }
  EXPECT_EQ(ChecksumByte(Bytes({0x10, 0x20})), 0xD0);
  EXPECT_EQ(ChecksumByte(std::string()), 0x00);
}

TEST(BootLinkFrame, EscapesZeroBytesAndCountsBeforeEscaping) {
  // Payload 05: checksum FB, n = 2, length byte 81.
  EXPECT_EQ(WrapBinaryFrame(Bytes({0x05})), Bytes({0x00, 0x81, 0x05, 0xFB}));
  // Read data block 0: checksum F8, n = 4; the two 00 bytes are escaped after counting.
  EXPECT_EQ(WrapBinaryFrame(Bytes({0x08, 0x00, 0x00})),
            Bytes({0x00, 0x83, 0x08, 0x00, 0x80, 0x00, 0x80, 0xF8}));
  // A checksum byte of 00 is escaped too.
  EXPECT_EQ(WrapBinaryFrame(Bytes({0x80, 0x80})), Bytes({0x00, 0x82, 0x80, 0x80, 0x00, 0x80}));
}

TEST(BootLinkFrame, RefusesEmptyAndOversizedPayloads) {
  EXPECT_TRUE(WrapBinaryFrame(std::string()).empty());
  EXPECT_FALSE(WrapBinaryFrame(std::string(127, 'x')).empty());  // 128 with the checksum
  EXPECT_TRUE(WrapBinaryFrame(std::string(128, 'x')).empty());
}

TEST(BootLinkFrame, WrappedFramesParseBack) {
  for (const std::string& payload : {Bytes({'N'}), Bytes({0x00}), Bytes({0x00, 0x00, 0x00}),
                                     Bytes({'O', 0x00, 0x80, 0x7F}), std::string(60, '\0')}) {
    const std::string frame = WrapBinaryFrame(payload);
    TScriptedLine line(Bytes({0x55, 0x11}) + frame);  // noise before the start byte
    std::string raw, reply;
    ASSERT_TRUE(CollectBinaryReply(line.Reader(), 100, raw)) << payload.size();
    EXPECT_EQ(line.Left(), 0u);
    ASSERT_TRUE(UnpackBinaryReply(raw, reply));
    EXPECT_EQ(reply, payload);
  }
}

TEST(BootLinkReply, ResynchronisesOnABareZero) {
  // A broken frame (announcing 5 bytes) interrupted by a fresh frame carrying 'N'.
  const std::string fresh = WrapBinaryFrame(Bytes({'N'}));
  TScriptedLine line(Bytes({0x00, 0x84, 0x41, 0x42}) + fresh + Bytes({0x99}));
  std::string raw, reply;
  ASSERT_TRUE(CollectBinaryReply(line.Reader(), 100, raw));
  EXPECT_EQ(line.Left(), 1u);  // the count restarted from the fresh length byte
  ASSERT_TRUE(UnpackBinaryReply(raw, reply));
  EXPECT_EQ(reply, "N");
  // The unpacking alone also starts over at a bare 00.
  ASSERT_TRUE(UnpackBinaryReply(Bytes({0x00, 0x83, 0x01, 0x02}) + fresh, reply));
  EXPECT_EQ(reply, "N");
}

TEST(BootLinkReply, RejectsBrokenFrames) {
  std::string reply = "stale";
  // Wrong checksum.
  EXPECT_FALSE(UnpackBinaryReply(Bytes({0x00, 0x81, 'N', 0x00, 0x80}), reply));
  EXPECT_TRUE(reply.empty());
  // Only a checksum: an empty reply is a failure.
  EXPECT_FALSE(UnpackBinaryReply(Bytes({0x00, 0x80, 0x00, 0x80}), reply));
  // A bare 00 at the very end leaves no frame.
  EXPECT_FALSE(UnpackBinaryReply(Bytes({0x00, 0x81, 'N', 0xB2, 0x00}), reply));
  // A frame cut short times out.
  TScriptedLine cut(Bytes({0x00, 0x83, 'V', 0x01}));
  std::string raw;
  EXPECT_FALSE(CollectBinaryReply(cut.Reader(), 10, raw));
  // Only noise, never a start byte.
  TScriptedLine noise(Bytes({0x55, 0x55, 0x55}));
  EXPECT_FALSE(CollectBinaryReply(noise.Reader(), 10, raw));
}

TEST(BootLinkReply, StopsCollectingAt255Bytes) {
  // A length byte followed by endless escaped zeros never completes the count.
  std::string endless = Bytes({0x00, 0xFF});
  for (int i = 0; i < 400; ++i) endless += Bytes({0x00, 0x80});
  TScriptedLine line(endless);
  std::string raw;
  CollectBinaryReply(line.Reader(), 10, raw);
  EXPECT_LE(raw.size(), static_cast<size_t>(MaxBinaryReplyBytes));
}

// A text boot loader streaming "U" where a binary reply is awaited: the skip gives
// up by bytes on a fast stream and by time on a slow one. (The reader gives up by
// itself after many reads, so that an unbounded skip fails here instead of hanging.)
TEST(BootLinkReply, SkippingToTheStartByteIsBounded) {
  int reads = 0;
  const TBootByteReader fast = [&reads](uint8_t* buffer, int, int) {
    if (++reads > 100000) return -1;
    buffer[0] = 0x55;
    return 1;
  };
  std::string raw;
  EXPECT_FALSE(CollectBinaryReply(fast, 18000, raw));
  EXPECT_LE(reads, MaxSkippedReplyBytes + 1);

  reads = 0;
  const TBootByteReader slow = [&reads](uint8_t* buffer, int, int) {
    if (++reads > 1000) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    buffer[0] = 0x55;
    return 1;
  };
  EXPECT_FALSE(CollectBinaryReply(slow, 100, raw));
  EXPECT_LT(reads, 50);  // about 100 ms of 20 ms bytes, far below the byte bound

  // The start byte after some noise is still found.
  TScriptedLine late(std::string(200, 'U') + Bytes({0x00, 0x82, 'N', 0x01, 0xB1}));
  EXPECT_TRUE(CollectBinaryReply(late.Reader(), 100, raw));
}

TEST(BootLinkReply, CountedReplies) {
  struct TCase {
    std::string Raw;
    bool Ok;
    std::string Reply;
  };
  const TCase cases[] = {
      {Bytes({0x01, 'N', 0xB2}), true, "N"},
      {Bytes({0x03, 'V', 0x71, 0x71, 0x100 - ((('V' + 0xE2) & 0xFF))}), true,
       Bytes({'V', 0x71, 0x71})},
      {Bytes({0x01, 'N', 0xB3}), false, ""},  // sum byte wrong although every byte arrived
      {Bytes({0x02, 'C', 0x00}), false, ""},  // one byte short
      {Bytes({0x00, 0x00}), false, ""},       // empty reply
      {std::string(), false, ""},
  };
  for (const TCase& c : cases) {
    std::string reply;
    EXPECT_EQ(UnpackCountedReply(c.Raw, reply), c.Ok) << HexDump(c.Raw);
    EXPECT_EQ(reply, c.Reply);
    TScriptedLine line(c.Raw);
    std::string raw;
    EXPECT_EQ(ReadCountedReply(line.Reader(), 100, reply, &raw), c.Ok) << HexDump(c.Raw);
    EXPECT_EQ(raw, c.Raw);
  }
}

TEST(BootLinkReply, FixedLengthReplies) {
  std::string reply;
  TScriptedLine ack(std::string("N"));
  EXPECT_TRUE(ReadFixedReply(ack.Reader(), 1, 100, reply));
  EXPECT_EQ(reply, "N");
  TScriptedLine silent{std::string()};
  EXPECT_FALSE(ReadFixedReply(silent.Reader(), 1, 100, reply));
  TScriptedLine shortReply(std::string("OK"));
  EXPECT_FALSE(ReadFixedReply(shortReply.Reader(), 3, 100, reply));
}

}  // namespace
