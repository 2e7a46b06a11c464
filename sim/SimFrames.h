#pragma once
// Byte-level framing as the simulated equipment speaks it. Written from the wire
// descriptions alone; deliberately independent of the tool's own frame code.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "serial/VirtualLine.h"

using TSimBytes = std::vector<uint8_t>;

uint8_t SimSum(const uint8_t* data, size_t count);
inline uint8_t SimSum(const TSimBytes& bytes) {
  return SimSum(bytes.data(), bytes.size());
}

// BX2 frame: length, payload, checksum (the sum of all bytes is 0). With status
// bytes, bit 7 of the length is set and the two bytes follow the payload.
TSimBytes SimBx2Frame(const TSimBytes& payload, const uint8_t* status = nullptr);
// The checksum an addressed ('!') frame must carry: length + payload + swapped
// halves of payload bytes 0, 2 and 4 + checksum = 0.
uint8_t SimExtendedChecksum(const uint8_t* frame, size_t payloadLength);

// Assembles frames the PC sends to a BX2. A byte arriving after a gap longer
// than the gap limit starts a new frame; a first byte announcing more than 17
// payload bytes is no frame start.
class TSimBx2Assembler {
 public:
  struct TFrame {
    TSimBytes Payload;
    bool ChecksumOk = false;
  };
  std::optional<TFrame> Feed(uint8_t byte, TLineTime at);
  void Reset() { Buffer.clear(); }

 private:
  TSimBytes Buffer;
  TLineTime LastByte{};
};

// Boot loader binary framing: 00, 80 | (n - 1), then payload + checksum with a
// byte 80 inserted after every 00.
TSimBytes SimBinaryFrame(const TSimBytes& payload);

class TSimBinaryAssembler {
 public:
  // Returns a complete payload (checksum checked and dropped) or nothing. A
  // frame with a wrong sum is reported through *bad.
  std::optional<TSimBytes> Feed(uint8_t byte, bool* bad);
  void Reset();

 private:
  enum { sIdle, sLength, sBody } State = sIdle;
  bool AfterZero = false;
  size_t Expected = 0;
  TSimBytes Body;
};

// Assembles the commands the PC sends to a text boot loader: 'W' with a code line
// and one byte after it, 'R' with one byte, any other command letter alone.
class TSimTextCommandAssembler {
 public:
  static constexpr size_t LineLength = 74;  // bytes in one code line

  // Returns the command once its last byte has come, or nothing.
  std::optional<TSimBytes> Feed(uint8_t byte);
  void Reset() { Buffer.clear(); }

 private:
  TSimBytes Buffer;
};

// Text boot loader replies: a count byte N, N bytes, and a byte that makes the
// sum of the N bytes and itself 0.
TSimBytes SimCountedReply(const TSimBytes& body);

// "VER=" followed by seven decimal digits anywhere in the bytes; 0 when absent.
uint32_t SimFindVersionMark(const TSimBytes& bytes);
// The boot loader firmware version of a replacement boot loader: "BFV=" followed by
// 3 decimal digits anywhere in the bytes; 0 when there is none.
uint32_t SimFindBootMark(const TSimBytes& bytes);
