#include "app/console/program/SimPort.h"

#include "sim/Simulator.h"

namespace {

TSimOptions ConsoleSimOptions() {
  TSimOptions options;
  options.DeviceVersion = 2606207;
  options.CalibrationSource = 1003;
  return options;
}

}  // namespace

TSimPort::TSimPort() : Sim(std::make_unique<TSimulation>(ConsoleSimOptions())) {
  const int number = Sim->RegisterAsPort();
  Number = number > 0 ? static_cast<uint32_t>(number) : 0;
}

TSimPort::~TSimPort() = default;

std::unique_ptr<TBuiltInPort> MakeConsoleSimPort(std::string& error) {
  auto port = std::make_unique<TSimPort>();
  if (port->PortNumber() == 0) {
    error = "no free port number for the simulation";
    return nullptr;
  }
  return port;
}

void InstallConsoleSimPort() {
  SetSimPortMaker(MakeConsoleSimPort);
}
