#pragma once
// "--port sim" of calibrator-cli: the simulated BX2 interface and device behind a port
// number of this run. Only the console program links the simulator; the core and the
// window do not.

#include <cstdint>
#include <memory>
#include <string>

#include "app/console/Modes.h"

class TSimulation;

class TSimPort : public TBuiltInPort {
 public:
  TSimPort();
  ~TSimPort() override;
  TSimPort(const TSimPort&) = delete;
  TSimPort& operator=(const TSimPort&) = delete;

  // The registered port number; 0 when no number was free.
  uint32_t PortNumber() const override { return Number; }
  TSimulation& Simulation() { return *Sim; }

 private:
  std::unique_ptr<TSimulation> Sim;
  uint32_t Number = 0;
};

// The console's simulation: device version 2606207, calibration word 1003.
std::unique_ptr<TBuiltInPort> MakeConsoleSimPort(std::string& error);
// Makes "--port sim" available to RunConsole.
void InstallConsoleSimPort();
