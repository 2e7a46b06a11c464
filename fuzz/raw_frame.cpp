// Fuzz target for the raw-port frame parsing of interface detection. The first two
// input bytes choose the buffer size and the minimum length (as the probes pass
// them); the rest is what arrived on the line, taken as the probe reads it: one
// length byte, then the bytes that byte announces.

#include <cstddef>
#include <cstdint>
#include <string>

#include "link/Detection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int bufferSize = 1 + data[0] % 32;
  const int minLength = data[1] % 12;
  const int maximum = ClampRawMaximum(bufferSize, 10);
  const uint8_t* line = data + 2;
  const size_t available = size - 2;

  std::string message;
  if (RawMessageLength(line[0], minLength, maximum) >= 0) {
    const size_t wanted = static_cast<size_t>(RawFollowingCount(line[0])) + 1;
    const size_t taken = wanted < available ? wanted : available;
    if (ParseRawFrame(line, taken, minLength, maximum, message)) {
      // An accepted frame is a checked interface frame within the limits.
      if (message.empty() || static_cast<uint8_t>(message[0]) != 0xFF) __builtin_trap();
      if (static_cast<int>(message.size()) < minLength) __builtin_trap();
      if (static_cast<int>(message.size()) > maximum) __builtin_trap();
    }
  }
  // Whatever the bytes, parsing the whole input at once must stay within it.
  ParseRawFrame(line, available, minLength, maximum, message);
  return 0;
}
