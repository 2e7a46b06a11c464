// Feeds arbitrary line bytes through the BX2 frame assembler and checker, the way
// the driver's receive loop does, and checks what must hold for any input.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "link/BX2Frames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TBX2FrameAssembler assembler;
  TSBlock block = DefaultSBlock();
  for (size_t i = 0; i < size; ++i) {
    // Every 16th byte position carries a line error when the byte's top bits say so.
    const bool lineError = (i % 16 == 15) && (data[i] & 0xC0) == 0xC0;
    if (!assembler.Feed(data[i], lineError)) continue;
    const std::string_view raw = assembler.Raw();
    if (raw.size() < 2 || raw.size() > bx2::MaxFrameBytes) abort();
    if (raw.size() != (static_cast<uint8_t>(raw[0]) & 0x7Fu) + 2u) abort();
    TBX2Frame frame;
    if (!CheckFrame(raw, frame)) continue;
    if (frame.Message.empty() || frame.Message.size() > bx2::MaxPayloadBytes) abort();
    if (ByteSum(raw) != 0) abort();
    if (frame.Message.size() >= 2) {
      size_t total = 0;
      for (const auto& reply : SplitDeviceReplies(std::string_view(frame.Message).substr(2)))
        total += reply.size();
      if (total != frame.Message.size() - 2) abort();
    }
    bool kmbus = false;
    if (frame.Letter() == 'D') LoadStateReply(frame.Message, block, kmbus);
    bool phase = false;
    StatusWord(frame.Status[0], frame.Status[1], phase);
  }
  return 0;
}
