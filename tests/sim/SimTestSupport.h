#pragma once
// The PC's end of a simulated line, driven byte by byte without the tool's port code.

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "serial/VirtualLine.h"
#include "sim/SimFrames.h"

// The 8-bit sum of `count` bytes.
inline uint8_t ByteSum(const uint8_t* data, size_t count) {
  unsigned sum = 0;
  for (size_t i = 0; i < count; ++i) sum += data[i];
  return static_cast<uint8_t>(sum);
}
inline uint8_t ByteSum(const TSimBytes& bytes) {
  return ByteSum(bytes.data(), bytes.size());
}

// A BX2 frame: its length, the payload, and the byte that makes the sum of all 0.
// Its length is one byte: the bound also keeps GCC 12 from warning of copies of an
// unbounded size (-Wstringop-overflow) where this is inlined.
inline TSimBytes TestFrame(const TSimBytes& payload) {
  const size_t size = std::min<size_t>(payload.size(), 255);
  TSimBytes frame(size + 2);
  frame.front() = static_cast<uint8_t>(size);
  std::copy_n(payload.begin(), size, frame.begin() + 1);
  frame.back() = static_cast<uint8_t>(0x100 - ByteSum(frame.data(), size + 1));
  return frame;
}

struct TSimTestHost {
  std::shared_ptr<TVirtualLine> Line;
  uint32_t Errors = 0;

  explicit TSimTestHost(std::shared_ptr<TVirtualLine> line, int baud = 2400, char parity = 'N')
      : Line(std::move(line)) {
    // Set before it opens, as a port is: a byte arriving between the two would be
    // read at the line's old speed.
    Line->HostConfigure(baud, parity);
    Line->HostOpen();
  }
  void Baud(int baud, char parity = 'N') { Line->HostConfigure(baud, parity); }
  void Write(const TSimBytes& bytes) { Line->HostWrite(bytes.data(), bytes.size()); }
  // Everything that arrives within `ms`, or until a gap of `gapMs` after the first byte.
  TSimBytes Read(int ms = 300, int gapMs = 60) {
    TSimBytes got(4096);
    Errors = 0;
    auto deadline = TLineClock::now() + std::chrono::milliseconds(ms);
    int n =
        Line->HostRead(got.data(), got.size(), deadline, std::chrono::milliseconds(gapMs), &Errors);
    got.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return got;
  }
  // A BX2 frame to the interface, built here apart from the simulator's own code.
  void SendFrame(const TSimBytes& payload) { Write(TestFrame(payload)); }
};
