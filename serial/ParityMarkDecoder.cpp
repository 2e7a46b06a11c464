#include "serial/ParityMarkDecoder.h"

#include "serial/VirtualLine.h"

size_t TParityMarkDecoder::Feed(const uint8_t* raw, size_t count, TDecodedByte* out) {
  size_t produced = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t b = raw[i];
    switch (State) {
      case sPlain:
        if (b == 0xFF) {
          State = sEscape;
        } else {
          out[produced++] = {b, 0};
        }
        break;
      case sEscape:
        if (b == 0xFF) {
          out[produced++] = {0xFF, 0};
          State = sPlain;
        } else if (b == 0x00) {
          State = sMarked;
        } else {
          // Not a marker the line discipline makes; keep both bytes as data.
          out[produced++] = {0xFF, 0};
          out[produced++] = {b, 0};
          State = sPlain;
        }
        break;
      case sMarked: {
        const uint32_t error = b == 0 ? leBreak : (ParityEnabled ? leParity : leFraming);
        out[produced++] = {b, error};
        State = sPlain;
        break;
      }
    }
  }
  return produced;
}
