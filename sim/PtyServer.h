#pragma once
// Serves the simulated equipment on a pseudo-terminal, so that any program can
// open the slave side as its serial port. The rate is learnt from the line
// settings the program makes; parity, modem lines and the break condition do not
// cross a pseudo-terminal, so a BX1 cannot be served this way.

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "sim/SimEquipment.h"
#include "sim/SimOutput.h"

// The output rate set on the terminal `fd` (0 when unknown).
int SimPtyBaud(int fd);

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
  TSimEquipmentSet& Equipment() { return *Set; }

  void Emit(const std::vector<TWireByte>& chars, TLineTime start) override;
  void CancelPending() override;
  void SetVanished(bool vanished) override;

 private:
  struct TOut {
    uint8_t Value;
    TLineTime Due;
  };
  void ReadInput();
  void WriteDue();

  TSimOptions Options;
  std::unique_ptr<TSimEquipmentSet> Set;
  int Master = -1;
  int KeepSlave = -1;  // held open so that the master never sees a hang-up
  std::string SlavePath;
  std::mutex OutMutex;
  std::deque<TOut> Pending;
  TLineTime WireFree{};
  std::atomic<bool> Vanished{false};
};
