#pragma once
// Serves the simulated equipment on a pseudo-terminal, so that any program can
// open the slave side as its serial port. The rate is learnt from the line
// settings the program makes; parity, modem lines and the break condition do not
// cross a pseudo-terminal, so a BX1 cannot be served this way.

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "sim/SimEquipment.h"
#include "sim/SimOutput.h"

// The output rate set on the terminal `fd` (0 when unknown).
int SimPtyBaud(int fd);

// An adapter pulled and put back: the terminal is closed (the program's reads and
// writes fail as on a pulled USB adapter), and later a new one is made. A negative
// value switches a trigger off. The equipment behind it keeps its state.
struct TSimPlugSchedule {
  int UnplugAfterMs = -1;      // after the program's first byte
  int UnplugAfterWrites = -1;  // once the device has taken this many memory writes
  int ReplugAfterMs = -1;      // after the unplug
  bool Any() const { return UnplugAfterMs >= 0 || UnplugAfterWrites >= 0; }
};

class TSimPtyServer : public TSimSink {
 public:
  explicit TSimPtyServer(TSimOptions options);
  ~TSimPtyServer() override;
  TSimPtyServer(const TSimPtyServer&) = delete;
  TSimPtyServer& operator=(const TSimPtyServer&) = delete;

  // Creates the pseudo-terminal; false with *error filled on failure.
  bool Open(std::string* error);
  const std::string& Path() const { return SlavePath; }
  // Serves until `stop` becomes true.
  void Run(const std::atomic<bool>& stop);
  // Called on the serving thread with "" when the terminal is closed and with the new
  // terminal's path when it is back. Set before Run.
  void SetPlugSchedule(TSimPlugSchedule schedule, std::function<void(const std::string&)> onPlug);
  TSimEquipmentSet& Equipment() { return *Set; }

  void Emit(const std::vector<TWireByte>& chars, TLineTime start) override;
  void CancelPending() override;
  void SetVanished(bool vanished) override;

 private:
  struct TOut {
    uint8_t Value;
    TLineTime Due;
  };
  bool OpenTerminal(std::string* error);
  void CloseTerminal();
  void ReadInput();
  void WriteDue();
  void FollowSchedule();
  bool UnplugDue();

  TSimOptions Options;
  std::unique_ptr<TSimEquipmentSet> Set;
  std::atomic<int> Master{-1};
  int KeepSlave = -1;  // held open so that the master never sees a hang-up
  std::string SlavePath;
  std::mutex OutMutex;
  std::deque<TOut> Pending;
  TLineTime WireFree{};
  std::atomic<bool> Vanished{false};
  TSimPlugSchedule Schedule;
  std::function<void(const std::string&)> OnPlug;
  std::optional<TLineTime> FirstInput;
  std::optional<TLineTime> UnpluggedAt;
  bool Replugged = false;
};
