#pragma once
// The PC's end of a simulated line, driven byte by byte without the tool's port code.

#include <chrono>
#include <memory>
#include <vector>

#include "serial/VirtualLine.h"
#include "sim/SimFrames.h"

struct TSimTestHost {
  std::shared_ptr<TVirtualLine> Line;
  uint32_t Errors = 0;

  explicit TSimTestHost(std::shared_ptr<TVirtualLine> line, int baud = 2400, char parity = 'N')
      : Line(std::move(line)) {
    Line->HostOpen();
    Line->HostConfigure(baud, parity);
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
  // A BX2 frame to the interface, built independently here from length, payload, sum.
  void SendFrame(const TSimBytes& payload) { Write(SimBx2Frame(payload)); }
};
