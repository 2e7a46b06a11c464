#pragma once
// The BX2 wire format as pure functions: no I/O, no threads, no state beyond what
// the caller passes in (WakeInterface at the end is the one sequence that writes to a
// port). Frames on the line are
//   L, payload (L & 0x7F bytes), checksum   (8-bit sum of all bytes = 0)
// where bit 7 of L, set only by the interface, means the last two payload bytes are
// the interface's status bytes. Texts are byte strings held in std::string.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TRS232o;

namespace bx2 {

constexpr int MaxFrameBytes = 19;  // L + 17 payload bytes + checksum
constexpr int MaxPayloadBytes = 17;
constexpr uint8_t InterfaceMarker = 0xFF;
constexpr uint8_t AddressedMarker = '!';

// Queue entry kinds: the first byte of each entry the driver queues for callers.
constexpr uint8_t KindBusFrame = 0;
constexpr uint8_t KindDeviceReply = 1;
constexpr uint8_t KindAny = 2;  // WaitForEntry: take whatever comes first

}  // namespace bx2

// The interface's operating flags and values, by the numbers the interface's documents
// give them: 0..4 are byte values, 5..13 flags stored as 0/1. What each means inside
// the interface is not this system's to say; each name's comment gives its place in
// the 'S' command (w1..w7) and in a 'D' reply (p2..p8).
using TSBlock = std::array<uint8_t, 14>;
enum : int {
  sbByte0 = 0,    // w1; p2
  sbByte1 = 1,    // w2; p3
  sbByte2 = 2,    // w3; p4
  sbByte3 = 3,    // w4 = 18 - byte 3; byte 3 = 18 - p5
  sbByte4 = 4,    // w6; p7
  sbFlag5 = 5,    // w5 bit 0; p6 bit 0
  sbFlag6 = 6,    // w5 bit 1; p6 bit 1
  sbFlag7 = 7,    // w5 bit 2; p6 bit 3
  sbFlag8 = 8,    // w5 bit 3; p6 bit 4
  sbFlag9 = 9,    // w7 bit 1; p8 bit 0
  sbFlag10 = 10,  // w7 bit 0; p6 bit 7
  sbFlag11 = 11,  // w5 bit 6; p6 bit 5
  sbFlag12 = 12,  // w7 bit 2; p8 bit 1
  sbFlag13 = 13,  // w5 bit 7 set when clear; set when p6 bit 6 is 0
};

// The S block the driver sends after start-up when told to use defaults.
TSBlock DefaultSBlock();

// 8-bit sum of bytes.
uint8_t ByteSum(std::string_view bytes);

// Interface frame around text (n <= 16): L = n+1, 0xFF, text, checksum.
std::string BuildInterfaceFrame(std::string_view text);
// As BuildInterfaceFrame, with the raw-port stuffing rule: a text whose last byte is
// 0xFF gets a 0x00 after it, counted in L. Used only by the probes on a raw port.
std::string BuildRawPortFrame(std::string_view text);
// Addressed frame: payload = '!', value (4 bytes LE), text; extended checksum.
std::string BuildAddressedFrame(uint32_t value, std::string_view text);
// Frame around an already built addressed payload (starting with '!').
std::string BuildAddressedPayloadFrame(std::string_view payload);
// Checksum byte of an addressed frame: L + sum(payload) + swap(p0) + swap(p2) +
// swap(p4) + checksum = 0 (mod 256), swap exchanging the two nibbles of a byte.
uint8_t ExtendedChecksum(uint8_t length, std::string_view payload);

// May this byte start a frame (low 7 bits announce at most 17 payload bytes)?
inline bool IsPlausibleLengthByte(uint8_t length) {
  return (length & 0x7F) <= bx2::MaxPayloadBytes;
}

// A received frame after checking.
struct TBX2Frame {
  uint8_t Length = 0;          // the raw length byte L
  std::string Message;         // p0 .. p(N-1), status bytes removed
  bool HasStatus = false;      // bit 7 of L was set
  uint8_t Status[2] = {0, 0};  // first and second status byte when HasStatus

  bool IsInterfaceFrame() const {
    return !Message.empty() && static_cast<uint8_t>(Message[0]) == bx2::InterfaceMarker;
  }
  // The letter of an interface frame, 0 when there is none.
  char Letter() const { return IsInterfaceFrame() && Message.size() >= 2 ? Message[1] : 0; }
};

// Checks a complete raw frame (exactly (L & 0x7F) + 2 bytes) and splits it.
// False for a wrong checksum, an impossible length or a wrong size.
bool CheckFrame(std::string_view raw, TBX2Frame& frame);

// The 'S' command text ('S', w1..w7) from the S block and the two per-send arguments.
std::string BuildStateCommand(const TSBlock& block, bool argumentA, bool argumentB);
// Loads the S block from a 'D' reply message (0xFF 'D' p2..p8). Returns false when
// the message is too short (the block is then untouched). kmbusMode receives the
// link-mode bit (true = KMBus mode, false = 9-bit mode).
bool LoadStateReply(std::string_view message, TSBlock& block, bool& kmbusMode);

// The 16-bit status word from the two status bytes. blinkPhase is inverted on
// every evaluation; the XOR of both bytes is used when it has just become true.
uint16_t StatusWord(uint8_t first, uint8_t second, bool& blinkPhase);

// Splits the device part (p2 .. p(N-1)) of a 'W'..'Z' frame into single replies:
// 0x89 with 12 bytes gives four 3-byte replies, 0x8E with 6 bytes two; anything
// else is one reply (possibly empty).
std::vector<std::string> SplitDeviceReplies(std::string_view devicePart);

// Frame assembly from single bytes, as the driver's receive loop does it. Feed one
// byte at a time; a line error restarts assembly. Returns true when a complete
// frame of (L & 0x7F) + 2 bytes is in Raw() (whether its checksum is right is for
// CheckFrame to say). Junk before a frame is skipped when its length byte is
// implausible; otherwise a false start is resolved when its checksum fails and the
// next bytes are taken afresh.
class TBX2FrameAssembler {
 public:
  bool Feed(uint8_t byte, bool lineError = false);
  // Drops an unfinished frame (the line has been quiet too long).
  void Reset() { Pos = 0; }
  int Position() const { return Pos; }
  std::string_view Raw() const { return {reinterpret_cast<const char*>(Buffer.data()), Size}; }

 private:
  std::array<uint8_t, bx2::MaxFrameBytes> Buffer{};
  int Pos = 0;
  size_t Size = 0;
};

// Puts a BX2 that has fallen silent back into listening (115200 then 19200 baud).
// The detection, the BX2 driver and the updater send it; the caller sets the line back
// to 2400 baud afterwards. `listen` is the byte sent at 19200 after the burst: 'A' wakes
// the firmware, 'P' asks the interface's boot loader for its version.
void WakeInterface(TRS232o& port, char listen = 'A');
