// Stored settings texts from hostile bytes: unescaping never fails unsafely, and what
// the program stores always reads back byte for byte.
#include <cstddef>
#include <cstdint>
#include <string>

#include "support/Settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  (void)UnescapeSetting(text);
  if (UnescapeSetting(EscapeSetting(text)) != text) __builtin_trap();
  return 0;
}
