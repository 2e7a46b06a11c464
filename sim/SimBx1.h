#pragma once
// The simulated BX1: a plain line onto the device bus. Every character the PC
// sends comes back as an echo; the device takes 4-byte frames of 9-bit
// characters at 1200 baud (ninth bit set on the first byte, the sum of all four
// 0) and answers with frames of the same shape.

#include "sim/SimDevice.h"
#include "sim/SimOutput.h"

class TSimBx1 {
 public:
  TSimBx1(TSimDevice& device, TSimOutput& out, TSimStats& stats)
      : Device(device), Out(out), Stats(stats) {}
  void OnByte(const TWireByte& byte, TLineTime at);

 private:
  void Answer(const TSimBytes& reply, TLineTime at);

  TSimDevice& Device;
  TSimOutput& Out;
  TSimStats& Stats;
  TSimBytes Frame;
};
