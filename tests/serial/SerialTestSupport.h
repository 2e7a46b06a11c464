#pragma once
// Helpers shared by the serial tests: a recording device for the virtual line.

#include <chrono>
#include <mutex>
#include <vector>

#include "serial/VirtualLine.h"

// Records what the host sends and every line change; optionally echoes each byte.
class TRecordingDevice : public TVirtualDevice {
 public:
  void OnHostByte(TVirtualLine& line, const TWireByte& byte, TLineTime arrival) override {
    {
      std::lock_guard lock(Mutex);
      Bytes.push_back(byte);
      Arrivals.push_back(arrival);
    }
    if (Echo) line.SendToHost({byte});
  }
  void OnLineChange(TVirtualLine&, const TLineState& state, TLineTime) override {
    std::lock_guard lock(Mutex);
    States.push_back(state);
  }
  std::vector<TWireByte> ReceivedBytes() {
    std::lock_guard lock(Mutex);
    return Bytes;
  }
  std::vector<TLineState> LineStates() {
    std::lock_guard lock(Mutex);
    return States;
  }
  std::vector<TLineTime> ArrivalTimes() {
    std::lock_guard lock(Mutex);
    return Arrivals;
  }

  bool Echo = false;

 private:
  std::mutex Mutex;
  std::vector<TWireByte> Bytes;
  std::vector<TLineTime> Arrivals;
  std::vector<TLineState> States;
};

inline double MsSince(TLineTime start) {
  return std::chrono::duration<double, std::milli>(TLineClock::now() - start).count();
}
