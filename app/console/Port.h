#pragma once
// What the console's port argument names, and the port the console program serves
// itself for "--port sim".

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// A port the console program serves itself for the run ("--port sim": the simulated
// interface and device). The core and the window carry no simulator: the console
// program installs the maker (app/console/program/SimPort.h) before RunConsole.
class TBuiltInPort {
 public:
  virtual ~TBuiltInPort() = default;
  virtual uint32_t PortNumber() const = 0;
};
// Makes the built-in port, or none with *error.
using TBuiltInPortMaker = std::function<std::unique_ptr<TBuiltInPort>(std::string& error)>;
// Installs the maker of "sim" (an empty one removes it); returns the previous one.
TBuiltInPortMaker SetSimPortMaker(TBuiltInPortMaker maker);

// What a port argument names: a COM number ("3", "COM3", "com3"), a device path
// (anything with a '/'), or "sim". Returns the port number to open, 0 when it cannot
// be resolved (with *error). For "sim" the built-in port is made into `builtIn`.
uint32_t ResolveConsolePort(const std::string& port, std::unique_ptr<TBuiltInPort>& builtIn,
                            std::string& error);
