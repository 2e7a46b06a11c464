// The console's argument parser on hostile command lines: any list of arguments is
// either taken or refused with a reason, and one that is taken never runs the
// calibration without a port (the job that writes to a device).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/ConsoleArguments.h"

namespace {

// The modes that need no device; without one of them a run calibrates, writes a
// value or updates firmware, all on --port.
bool NeedsNoPort(const TConsoleOptions& o) {
  return o.Help || o.Version || o.ListNames || o.History || !o.DecodeTrace.empty();
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
  return 0;
}
