// Feeds arbitrary line contents to the boot loader's binary reply parser: whatever
// arrives, collecting stays within its byte limit and a reply that is accepted has
// a valid sum.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "firmware/BootLink.h"
#include "fuzz/FuzzByteReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t next = 0;
  const TBootByteReader reader = FuzzByteReader(data, size, next);
  std::string raw, reply;
  const bool collected = CollectBinaryReply(reader, 0, raw);
  if (raw.size() > static_cast<size_t>(MaxBinaryReplyBytes)) std::abort();
  if (collected && UnpackBinaryReply(raw, reply) && reply.empty()) std::abort();
  // The unpacker alone, on the raw input.
  const std::string whole(reinterpret_cast<const char*>(data), size);
  if (UnpackBinaryReply(whole, reply)) {
    // A payload that came through must survive a round trip through the framing.
    const std::string wrapped = WrapBinaryFrame(reply);
    std::string again;
    if (!wrapped.empty() && (!UnpackBinaryReply(wrapped, again) || again != reply)) std::abort();
  }
  return 0;
}
