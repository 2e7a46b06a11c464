#include "firmware/BootLink.h"

#include <algorithm>
#include <chrono>
#include <vector>

uint8_t BootByteSum(const std::string& bytes) {
  uint8_t sum = 0;
  for (char c : bytes) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  return sum;
}

uint8_t ChecksumByte(const std::string& bytes) {
  return static_cast<uint8_t>(0x100 - BootByteSum(bytes));
}

std::string AppendChecksum(const std::string& bytes) {
  std::string out = bytes;
  out.push_back(static_cast<char>(ChecksumByte(bytes)));
  return out;
}

std::string WrapBinaryFrame(const std::string& payload) {
  const std::string body = AppendChecksum(payload);
  if (payload.empty() || body.size() > static_cast<size_t>(MaxBinaryFrameBody)) return {};
  std::string frame;
  frame.reserve(body.size() * 2 + 2);
  frame.push_back('\0');
  frame.push_back(static_cast<char>(0x80 | (body.size() - 1)));
  for (char c : body) {
    frame.push_back(c);
    if (c == '\0') frame.push_back(static_cast<char>(0x80));
  }
  return frame;
}

namespace {

// One byte within `timeoutMs`: 1 read, 0 time-out, -1 line lost.
int ReadByte(const TBootByteReader& read, int timeoutMs, uint8_t& byte) {
  const int n = read(&byte, 1, timeoutMs);
  return n < 0 ? -1 : (n == 1 ? 1 : 0);
}

int CountFromLength(uint8_t lengthByte) {
  return (lengthByte & 0x7F) + 1;
}

}  // namespace

bool SkipToStartByte(const TBootByteReader& read, int timeoutMs) {
  // A line that keeps sending (a text boot loader's "U" stream) must not hold the
  // caller: the skip ends after a bounded number of bytes or the reply time-out.
  const auto due = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(std::max(timeoutMs, MinSkipTimeMs));
  uint8_t byte = 0xFF;
  for (int skipped = 0; skipped <= MaxSkippedReplyBytes; ++skipped) {
    if (ReadByte(read, timeoutMs, byte) != 1) return false;
    if (byte == 0) return true;
    if (std::chrono::steady_clock::now() > due) return false;
  }
  return false;
}

bool CollectBinaryReply(const TBootByteReader& read, int timeoutMs, std::string& raw) {
  raw.clear();
  uint8_t byte = 0xFF;
  if (!SkipToStartByte(read, timeoutMs)) return false;
  raw.push_back('\0');
  if (ReadByte(read, timeoutMs, byte) != 1) return false;
  raw.push_back(static_cast<char>(byte));
  int remaining = CountFromLength(byte);
  bool afterZero = false;
  while (remaining > 0 && raw.size() < static_cast<size_t>(MaxBinaryReplyBytes)) {
    if (ReadByte(read, timeoutMs, byte) != 1) return false;
    raw.push_back(static_cast<char>(byte));
    if (afterZero && byte != 0x80) {
      // A bare 00 started a new frame: this is its length byte.
      remaining = CountFromLength(byte);
      afterZero = false;
      continue;
    }
    if (afterZero) {
      afterZero = false;  // the 80 of an escaped 00 is not counted
      continue;
    }
    --remaining;
    if (byte == 0) afterZero = true;
  }
  // A trailing 00 still owes its escape byte.
  if (afterZero && raw.size() < static_cast<size_t>(MaxBinaryReplyBytes)) {
    if (ReadByte(read, timeoutMs, byte) != 1) return false;
    raw.push_back(static_cast<char>(byte));
  }
  return true;
}

bool UnpackBinaryReply(const std::string& raw, std::string& reply) {
  reply.clear();
  std::string frame;  // length byte first
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\0') {
      frame.push_back(raw[i]);
      continue;
    }
    if (i + 1 < raw.size() && static_cast<uint8_t>(raw[i + 1]) == 0x80) {
      frame.push_back('\0');
      ++i;
      continue;
    }
    frame.clear();  // a bare 00 starts a new frame: its length byte follows
    if (i + 1 < raw.size()) {
      frame.push_back(static_cast<char>(raw[i + 1] & 0x7F));
      ++i;
    }
  }
  if (frame.size() < 2) return false;  // nothing after the length byte
  const std::string body = frame.substr(1);
  if (BootByteSum(body) != 0) return false;
  reply = body.substr(0, body.size() - 1);
  return !reply.empty();
}

bool UnpackCountedReply(const std::string& raw, std::string& reply) {
  reply.clear();
  if (raw.empty()) return false;
  const size_t count = static_cast<uint8_t>(raw[0]);
  if (count == 0 || raw.size() != count + 2) return false;
  if (BootByteSum(raw.substr(1)) != 0) return false;
  reply = raw.substr(1, count);
  return true;
}

bool ReadCountedReply(const TBootByteReader& read, int timeoutMs, std::string& reply,
                      std::string* raw) {
  reply.clear();
  if (raw) raw->clear();
  uint8_t count = 0;
  if (ReadByte(read, timeoutMs, count) != 1) return false;
  std::vector<uint8_t> rest(static_cast<size_t>(count) + 1);
  const int got = read(rest.data(), static_cast<int>(rest.size()), -1);
  std::string all(1, static_cast<char>(count));
  if (got > 0) all.append(reinterpret_cast<const char*>(rest.data()), static_cast<size_t>(got));
  if (raw) *raw = all;
  return UnpackCountedReply(all, reply);
}

bool ReadFixedReply(const TBootByteReader& read, int length, int timeoutMs, std::string& reply) {
  reply.clear();
  if (length <= 0) return false;
  std::vector<uint8_t> buffer(static_cast<size_t>(length));
  const int got = read(buffer.data(), length, timeoutMs);
  if (got != length) return false;
  reply.assign(reinterpret_cast<const char*>(buffer.data()), buffer.size());
  return true;
}
