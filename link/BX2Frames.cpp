#include "link/BX2Frames.h"
#include "link/ProtocolCodes.h"

#include "serial/SerialPort.h"
#include "support/Threads.h"

namespace {

uint8_t At(std::string_view bytes, size_t index) {
  return static_cast<uint8_t>(bytes[index]);
}

uint8_t SwapNibbles(uint8_t x) {
  return static_cast<uint8_t>((x << 4) | (x >> 4));
}

uint8_t Bit(uint8_t value, int bit) {
  return (value >> bit) & 1;
}

std::string Framed(uint8_t length, std::string_view payload, uint8_t checksum) {
  std::string frame;
  frame.reserve(payload.size() + 2);
  frame.push_back(static_cast<char>(length));
  frame.append(payload);
  frame.push_back(static_cast<char>(checksum));
  return frame;
}

}  // namespace

TSBlock DefaultSBlock() {
  TSBlock block{};
  block[sbByte0] = 4;
  block[sbByte1] = 0;
  block[sbByte2] = 255;
  block[sbByte3] = 17;
  block[sbByte4] = 0;
  block[sbFlag12] = 1;
  block[sbFlag13] = 1;
  return block;
}

uint8_t ByteSum(std::string_view bytes) {
  uint8_t sum = 0;
  for (char c : bytes) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  return sum;
}

std::string BuildInterfaceFrame(std::string_view text) {
  std::string payload(1, static_cast<char>(bx2::InterfaceMarker));
  payload.append(text);
  const auto length = static_cast<uint8_t>(payload.size());
  return Framed(length, payload, static_cast<uint8_t>(0 - length - ByteSum(payload)));
}

std::string BuildRawPortFrame(std::string_view text) {
  std::string stuffed(text);
  // A trailing 0xFF would look like the start of a marker to the interface.
  if (!stuffed.empty() && static_cast<uint8_t>(stuffed.back()) == 0xFF) stuffed.push_back('\0');
  return BuildInterfaceFrame(stuffed);
}

uint8_t ExtendedChecksum(uint8_t length, std::string_view payload) {
  uint8_t sum = static_cast<uint8_t>(length + ByteSum(payload));
  for (size_t i = 0; i <= 4 && i < payload.size(); i += 2)
    sum = static_cast<uint8_t>(sum + SwapNibbles(At(payload, i)));
  return static_cast<uint8_t>(0 - sum);
}

std::string BuildAddressedPayloadFrame(std::string_view payload) {
  const auto length = static_cast<uint8_t>(payload.size());
  return Framed(length, payload, ExtendedChecksum(length, payload));
}

std::string BuildAddressedFrame(uint32_t value, std::string_view text) {
  std::string payload(1, static_cast<char>(bx2::AddressedMarker));
  for (int i = 0; i < 4; ++i) payload.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  payload.append(text);
  return BuildAddressedPayloadFrame(payload);
}

bool CheckFrame(std::string_view raw, TBX2Frame& frame) {
  if (raw.empty()) return false;
  const uint8_t length = At(raw, 0);
  const size_t n = length & 0x7F;
  const bool hasStatus = (length & 0x80) != 0;
  if (n > bx2::MaxPayloadBytes || raw.size() != n + 2) return false;
  if (!hasStatus && length == 0) return false;
  if (hasStatus && length <= 0x82) return false;
  if (ByteSum(raw) != 0) return false;
  frame.Length = length;
  frame.HasStatus = hasStatus;
  const size_t messageLength = hasStatus ? n - 2 : n;
  frame.Message.assign(raw.substr(1, messageLength));
  frame.Status[0] = hasStatus ? At(raw, n - 1) : 0;
  frame.Status[1] = hasStatus ? At(raw, n) : 0;
  return true;
}

std::string BuildStateCommand(const TSBlock& block, bool argumentA, bool argumentB) {
  const uint8_t w5 = static_cast<uint8_t>(
      (block[sbFlag5] ? 0x01 : 0) | (block[sbFlag6] ? 0x02 : 0) | (block[sbFlag7] ? 0x04 : 0) |
      (block[sbFlag8] ? 0x08 : 0) | (argumentA ? 0x10 : 0) | (argumentB ? 0x20 : 0) |
      (block[sbFlag11] ? 0x40 : 0) | (block[sbFlag13] ? 0 : 0x80));
  const uint8_t w7 = static_cast<uint8_t>(
      (block[sbFlag10] ? 0x01 : 0) | (block[sbFlag9] ? 0x02 : 0) | (block[sbFlag12] ? 0x04 : 0));
  const uint8_t bytes[] = {bx2::LetterSetState,
                           block[sbByte0],
                           block[sbByte1],
                           block[sbByte2],
                           static_cast<uint8_t>(18 - block[sbByte3]),
                           w5,
                           block[sbByte4],
                           w7};
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

bool LoadStateReply(std::string_view message, TSBlock& block, bool& kmbusMode) {
  if (message.size() < 9) return false;
  const uint8_t p6 = At(message, 6);
  const uint8_t p8 = At(message, 8);
  block[sbByte0] = At(message, 2);
  block[sbByte1] = At(message, 3);
  block[sbByte2] = At(message, 4);
  block[sbByte3] = static_cast<uint8_t>(18 - At(message, 5));
  block[sbByte4] = At(message, 7);
  block[sbFlag5] = Bit(p6, 0);
  block[sbFlag6] = Bit(p6, 1);
  block[sbFlag7] = Bit(p6, 3);
  block[sbFlag8] = Bit(p6, 4);
  block[sbFlag11] = Bit(p6, 5);
  block[sbFlag13] = Bit(p6, 6) ? 0 : 1;
  block[sbFlag10] = Bit(p6, 7);
  block[sbFlag9] = Bit(p8, 0);
  block[sbFlag12] = Bit(p8, 1);
  kmbusMode = Bit(p6, 2) != 0;
  return true;
}

uint16_t StatusWord(uint8_t first, uint8_t second, bool& blinkPhase) {
  blinkPhase = !blinkPhase;
  const uint8_t x = blinkPhase ? static_cast<uint8_t>(first ^ second) : first;
  // Result bit <- bit of x.
  static constexpr int kMap[][2] = {{0, 5}, {1, 6}, {2, 7}, {4, 4}, {5, 0}, {6, 2}, {7, 1}, {8, 3}};
  uint16_t word = 0;
  for (const auto& m : kMap)
    if (Bit(x, m[1])) word = static_cast<uint16_t>(word | (1u << m[0]));
  return word;
}

std::vector<std::string> SplitDeviceReplies(std::string_view devicePart) {
  const uint8_t code = devicePart.empty() ? 0 : At(devicePart, 0);
  const bool grouped = (code == dev::SettingScale && devicePart.size() == 12) ||
                       (code == dev::RamVariableScale && devicePart.size() == 6);
  if (!grouped) return {std::string(devicePart)};
  std::vector<std::string> replies;
  for (size_t i = 0; i < devicePart.size(); i += 3) replies.emplace_back(devicePart.substr(i, 3));
  return replies;
}

bool TBX2FrameAssembler::Feed(uint8_t byte, bool lineError) {
  if (lineError) {
    Pos = 0;
    return false;
  }
  Buffer[Pos] = byte;
  if (Pos == (Buffer[0] & 0x7F) + 1) {
    Size = static_cast<size_t>(Pos) + 1;
    Pos = 0;
    return true;
  }
  // A first byte announcing more payload than a frame can hold is junk.
  if (Pos != 0 || IsPlausibleLengthByte(byte)) ++Pos;
  if (Pos > bx2::MaxFrameBytes - 1) Pos = 0;
  return false;
}

void WakeInterface(TRS232o& port, char listen) {
  static const uint8_t wake[5] = {0x55, 0x55, 0x55, 0x55, 0x55};
  port.Configure(115200, 'N');
  port.PurgeAll();
  port.Write(wake, sizeof wake);
  Pause(50);
  port.Configure(19200, 'N');
  // What arrived at 115200 is noise at 19200; the reply to `listen` must come clean.
  port.PurgeAll();
  port.ClearErrors();
  port.Write(&listen, 1);
  Pause(50);
}
