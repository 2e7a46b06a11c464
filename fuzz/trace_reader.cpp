// Fuzz target for the trace reader and decoder behind --decode-trace: any text,
// a customer's damaged trace included, is told line by line and never stops the
// decoder. Every burst line that reads gives at least one output line.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/console/TraceDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t bursts = 0;
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    TTraceLine burst;
    if (ParseTraceLine(text.substr(start, end - start), burst)) {
      ++bursts;
      if (burst.Baud <= 0 || (burst.Sent ? 1 : 0) > 1) __builtin_trap();
    }
    start = end + 1;
  }
  const auto lines = DecodeTrace(text);
  if (lines.size() < bursts) __builtin_trap();
  return 0;
}
