// The console's argument parser on hostile command lines: any list of arguments is
// either taken or refused with a reason; one that is taken never runs the calibration
// without a port (the job that writes to a device), and never chooses the calibration
// when an argument is empty or names another mode.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/console/Arguments.h"

namespace {

// The modes that need no device; without one of them a run calibrates, writes a
// value or updates firmware, all on --port.
bool NeedsNoPort(const TConsoleOptions& o) {
  switch (o.Mode) {
    case TConsoleMode::Help:
    case TConsoleMode::Version:
    case TConsoleMode::ListNames:
    case TConsoleMode::ListPorts:
    case TConsoleMode::History:
    case TConsoleMode::DecodeTrace:
      return true;
    default:
      return false;
  }
}

// An empty value, or an option of another mode, must never end in the calibration.
bool ForbidsCalibration(const std::vector<std::string>& args) {
  static const char* const modes[] = {"--loop",       "--get",           "--set",
                                      "--update",     "--history",       "--decode-trace",
                                      "--list-names", "--loopback-test", "--list-ports"};
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.empty() || (a.rfind("--", 0) == 0 && a.find('=') == a.size() - 1)) return true;
    for (const char* mode : modes)
      if (a == mode || a.rfind(std::string(mode) + "=", 0) == 0) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // NUL separates the arguments, as in a process's argument block.
  std::vector<std::string> args(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0)
      args.emplace_back();
    else
      args.back() += static_cast<char>(data[i]);
  }
  TConsoleOptions options;
  std::string error;
  if (!ParseConsoleArguments(args, options, error)) {
    if (error.empty()) __builtin_trap();  // a refusal says why
    return 0;
  }
  if (!NeedsNoPort(options) && options.Port.empty()) __builtin_trap();
  if (options.Mode == TConsoleMode::Calibration && ForbidsCalibration(args)) __builtin_trap();
  return 0;
}
