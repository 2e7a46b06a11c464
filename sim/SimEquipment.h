#pragma once
// The whole simulated set-up behind one serial line (interface + device), with
// its own clock thread for what the equipment does unasked (announcements,
// broadcasts, boot loader streams). Every entry point takes one lock, so the
// transport may call in from any thread.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "sim/SimBx1.h"
#include "sim/SimBx2.h"
#include "sim/SimDevice.h"
#include "sim/SimOutput.h"
#include "sim/SimUnits.h"

class TSimEquipmentSet {
 public:
  TSimEquipmentSet(const TSimOptions& options, TSimSink& sink);
  ~TSimEquipmentSet();
  TSimEquipmentSet(const TSimEquipmentSet&) = delete;
  TSimEquipmentSet& operator=(const TSimEquipmentSet&) = delete;

  void Start();  // starts the clock thread
  void Stop();   // ends it; the set then only reacts to the transport

  void OnByte(const TWireByte& byte, TLineTime at);
  void OnLine(const TLineState& state, TLineTime at);
  void Tick(TLineTime now);

  // Runs `f` under the lock with the models (for inspection and controls).
  struct TParts {
    TSimDevice& Device;
    TSimBx2* Bx2;  // null for a BX1
    TSimOutput& Out;
    TSimStats& Stats;
    TSimUnits& Units;
  };
  void With(const std::function<void(TParts&)>& f);

 private:
  void ClockLoop();

  std::mutex Mutex;
  TSimStats Stats;
  TSimOutput Out;
  TSimDevice Device;
  TSimUnits Units;
  std::unique_ptr<TSimBx2> Bx2;
  std::unique_ptr<TSimBx1> Bx1;

  std::mutex ClockMutex;
  std::condition_variable ClockWake;
  bool Stopping = false;
  std::thread Clock;
};
