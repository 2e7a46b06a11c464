#include "sim/SimUnits.h"

TSimUnits::TSimUnits(const TSimOptions& options, TLineTime start) : Options(options) {
  Current.CalibrationSource = options.CalibrationSource;
  Current.Serial = TSimDevice::FirstSerial;
  Current.Arrived = start;
  if (options.UnitStaysMs > 0) NextChange = start + std::chrono::milliseconds(options.UnitStaysMs);
}

void TSimUnits::Tick(TLineTime now, TSimDevice& device) {
  if (Options.UnitStaysMs <= 0 || now < NextChange) return;
  if (Current.Present) {
    TakeAway(device);
    NextChange = now + std::chrono::milliseconds(Options.UnitGapMs);
    return;
  }
  if (Options.UnitCount > 0 && Current.Number >= Options.UnitCount) return;
  AttachNext(device, -1, now);
}

void TSimUnits::TakeAway(TSimDevice& device) {
  if (!Current.Present) return;
  device.Absent = true;
  Current.Present = false;
}

void TSimUnits::AttachNext(TSimDevice& device, int32_t calibrationSource, TLineTime now) {
  TSimUnitRecord gone = Current;
  gone.Writes = device.Writes();
  gone.ChangedWords = device.ChangedWords();
  gone.Present = false;
  Past.push_back(std::move(gone));

  Current = TSimUnitRecord{};
  Current.Number = Past.back().Number + 1;
  Current.CalibrationSource = NextSource(calibrationSource);
  Current.Serial = TSimDevice::FirstSerial + static_cast<uint32_t>(Current.Number - 1);
  Current.Arrived = now;
  device.AttachUnit(Current.CalibrationSource, Current.Serial);
  // Every unit stays its time, one attached by hand too (else a change the schedule
  // had already due would take it away at the next tick).
  if (Options.UnitStaysMs > 0) NextChange = now + std::chrono::milliseconds(Options.UnitStaysMs);
}

std::vector<TSimUnitRecord> TSimUnits::Records(const TSimDevice& device) const {
  std::vector<TSimUnitRecord> all = Past;
  TSimUnitRecord current = Current;
  current.Writes = device.Writes();
  current.ChangedWords = device.ChangedWords();
  all.push_back(std::move(current));
  return all;
}

uint16_t TSimUnits::NextSource(int32_t requested) const {
  if (requested >= 0) return static_cast<uint16_t>(requested);
  if (Options.NextCalibrationSource >= 0)
    return static_cast<uint16_t>(Options.NextCalibrationSource);
  return Options.CalibrationSource;
}
