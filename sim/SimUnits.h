#pragma once
// Units in turn behind one simulated interface, as on a production line: the unit
// on the bus is taken away after a while, and after a gap a fresh one (its own
// serial number and calibration word) is attached. Runs under the equipment's lock.

#include <vector>

#include "sim/SimDevice.h"
#include "sim/SimTypes.h"

class TSimUnits {
 public:
  TSimUnits(const TSimOptions& options, TLineTime start);

  // Takes the unit away or attaches the next one when the schedule says so.
  void Tick(TLineTime now, TSimDevice& device);
  void TakeAway(TSimDevice& device);
  void AttachNext(TSimDevice& device, int32_t calibrationSource, TLineTime now);
  // Every unit so far; the current one (last) with the device's live state.
  std::vector<TSimUnitRecord> Records(const TSimDevice& device) const;

 private:
  uint16_t NextSource(int32_t requested) const;

  const TSimOptions Options;
  std::vector<TSimUnitRecord> Past;  // units taken away, with their final state
  TSimUnitRecord Current;
  TLineTime NextChange{};  // of the schedule; unused when units stay for good
};
