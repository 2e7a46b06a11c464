// Feeds arbitrary bytes to the counted text reply: an accepted reply is never empty,
// has the announced length and sums to zero with its sum byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "firmware/BootLink.h"
#include "fuzz/FuzzByteReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t next = 0;
  const TBootByteReader reader = FuzzByteReader(data, size, next);
  std::string reply, raw;
  if (ReadCountedReply(reader, 0, reply, &raw)) {
    if (reply.empty() || reply.size() != static_cast<size_t>(data[0])) std::abort();
    if (BootByteSum(raw.substr(1)) != 0) std::abort();
  }
  if (raw.size() > size) std::abort();
  std::string fixed;
  if (ReadFixedReply(reader, 1, 0, fixed) && fixed.size() != 1) std::abort();
  return 0;
}
