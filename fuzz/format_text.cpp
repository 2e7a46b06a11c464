// The %-formatter with hostile format texts: any text either formats or is refused,
// never reads an argument that is not there, and never grows without bound.
#include <cstddef>
#include <cstdint>
#include <string>

#include "support/Format.h"

namespace {

// Each directive takes at least two characters of the format ("%d") and gives at
// most the formatter's width cap: no body from these arguments is longer (the
// precision is capped at 300). A literal character gives one.
constexpr size_t MaxDirectiveText = 4096;

size_t OutputBound(size_t formatSize) {
  return formatSize / 2 * MaxDirectiveText + formatSize;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string format(reinterpret_cast<const char*>(data), size);
  // The same text against each argument list the program uses: none, one of each kind, mixed.
  const TFormatArgs lists[] = {
      {}, {42}, {-1.5}, {std::string("text")}, {7, std::string("a"), 3.25}, {1, 2, 3, 4}};
  for (const auto& args : lists) {
    std::string out;
    if (FormatText(format, args, out) && out.size() > OutputBound(size)) __builtin_trap();
  }
  return 0;
}
