#include "sim/SimFrames.h"

#include <chrono>
#include <cstring>

namespace {
// A pause this long inside a frame means the sender gave up on it.
constexpr auto kFrameGap = std::chrono::milliseconds(60);
constexpr size_t kMaxPayload = 17;

uint8_t SwapHalves(uint8_t x) {
  return static_cast<uint8_t>((x << 4) | (x >> 4));
}
}  // namespace

uint8_t SimSum(const uint8_t* data, size_t count) {
  uint8_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  return sum;
}

TSimBytes SimBx2Frame(const TSimBytes& payload, const uint8_t* status) {
  TSimBytes frame;
  size_t n = payload.size() + (status ? 2 : 0);
  frame.push_back(static_cast<uint8_t>(n | (status ? 0x80 : 0)));
  frame.insert(frame.end(), payload.begin(), payload.end());
  if (status) {
    frame.push_back(status[0]);
    frame.push_back(status[1]);
  }
  frame.push_back(static_cast<uint8_t>(0 - SimSum(frame)));
  return frame;
}

uint8_t SimExtendedChecksum(const uint8_t* frame, size_t payloadLength) {
  uint8_t sum = SimSum(frame, payloadLength + 1);
  const uint8_t* p = frame + 1;
  for (size_t i = 0; i <= 4 && i < payloadLength; i += 2)
    sum = static_cast<uint8_t>(sum + SwapHalves(p[i]));
  return static_cast<uint8_t>(0 - sum);
}

std::optional<TSimBx2Assembler::TFrame> TSimBx2Assembler::Feed(uint8_t byte, TLineTime at) {
  if (!Buffer.empty() && at - LastByte > kFrameGap) Buffer.clear();
  LastByte = at;
  if (Buffer.empty() && ((byte & 0x7F) > kMaxPayload || byte == 0)) return std::nullopt;
  Buffer.push_back(byte);
  size_t n = Buffer[0] & 0x7F;
  if (Buffer.size() < n + 2) return std::nullopt;
  TFrame frame;
  frame.Payload.assign(Buffer.begin() + 1, Buffer.begin() + 1 + static_cast<long>(n));
  bool addressed = n >= 5 && frame.Payload[0] == '!';
  if (addressed)
    frame.ChecksumOk = SimExtendedChecksum(Buffer.data(), n) == Buffer[n + 1];
  else
    frame.ChecksumOk = SimSum(Buffer) == 0;
  Buffer.clear();
  return frame;
}

TSimBytes SimBinaryFrame(const TSimBytes& payload) {
  TSimBytes body = payload;
  body.push_back(static_cast<uint8_t>(0 - SimSum(payload)));
  TSimBytes frame{0x00, static_cast<uint8_t>(0x80 | ((body.size() - 1) & 0x7F))};
  for (uint8_t b : body) {
    frame.push_back(b);
    if (b == 0) frame.push_back(0x80);
  }
  return frame;
}

void TSimBinaryAssembler::Reset() {
  State = sIdle;
  AfterZero = false;
  Body.clear();
}

std::optional<TSimBytes> TSimBinaryAssembler::Feed(uint8_t byte, bool* bad) {
  if (State == sIdle) {
    if (byte == 0) State = sLength;
    return std::nullopt;
  }
  if (State == sLength) {
    Expected = (byte & 0x7F) + 1u;
    Body.clear();
    AfterZero = false;
    State = sBody;
    return std::nullopt;
  }
  if (AfterZero) {
    AfterZero = false;
    if (byte != 0x80) {  // an unescaped 00 starts a new frame; this is its length
      State = sLength;
      return Feed(byte, bad);
    }
  } else {
    Body.push_back(byte);
    if (byte == 0) {
      AfterZero = true;
      if (Body.size() < Expected) return std::nullopt;
    }
  }
  if (Body.size() < Expected || AfterZero) return std::nullopt;
  State = sIdle;
  if (SimSum(Body) != 0) {
    if (bad) *bad = true;
    return std::nullopt;
  }
  Body.pop_back();
  return Body;
}

std::optional<TSimBytes> TSimTextCommandAssembler::Feed(uint8_t byte) {
  Buffer.push_back(byte);
  const uint8_t c = Buffer[0];
  if (c == 'W' && Buffer.size() < LineLength + 2) return std::nullopt;
  if (c == 'R' && Buffer.size() < 2) return std::nullopt;
  TSimBytes command;
  command.swap(Buffer);
  return command;
}

TSimBytes SimCountedReply(const TSimBytes& body) {
  TSimBytes reply{static_cast<uint8_t>(body.size())};
  reply.insert(reply.end(), body.begin(), body.end());
  reply.push_back(static_cast<uint8_t>(0 - SimSum(body)));
  return reply;
}

uint32_t SimFindBootMark(const TSimBytes& bytes) {
  static const char kMark[] = "BFV=";
  for (size_t i = 0; i + 7 <= bytes.size(); ++i) {
    if (std::memcmp(&bytes[i], kMark, 4) != 0) continue;
    uint32_t v = 0;
    size_t k = 0;
    for (; k < 3 && bytes[i + 4 + k] >= '0' && bytes[i + 4 + k] <= '9'; ++k)
      v = v * 10 + (bytes[i + 4 + k] - '0');
    if (k == 3) return v;
  }
  return 0;
}

uint32_t SimFindVersionMark(const TSimBytes& bytes) {
  static const char kMark[] = "VER=";
  for (size_t i = 0; i + 11 <= bytes.size(); ++i) {
    if (std::memcmp(&bytes[i], kMark, 4) != 0) continue;
    uint32_t v = 0;
    size_t k = 0;
    for (; k < 7 && bytes[i + 4 + k] >= '0' && bytes[i + 4 + k] <= '9'; ++k)
      v = v * 10 + (bytes[i + 4 + k] - '0');
    if (k == 7) return v;
  }
  return 0;
}
