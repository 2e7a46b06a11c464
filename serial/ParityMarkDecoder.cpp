#include "serial/ParityMarkDecoder.h"

size_t TParityMarkDecoder::Feed(const uint8_t* raw, size_t count, TDecodedByte* out) {
  size_t produced = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t b = raw[i];
    switch (State) {
      case sPlain:
        if (b == 0xFF) {
          State = sEscape;
        } else {
          out[produced++] = {b, 0, false};
        }
        break;
      case sEscape:
        if (b == 0xFF) {
          out[produced++] = {0xFF, 0, false};
          State = sPlain;
        } else if (b == 0x00) {
          State = sMarked;
        } else {
          // Not a marker the line discipline makes; keep both bytes as data.
          out[produced++] = {0xFF, 0, false};
          out[produced++] = {b, 0, false};
          State = sPlain;
        }
        break;
      case sMarked:
        out[produced++] = {b, 0, true};
        State = sPlain;
        break;
    }
  }
  return produced;
}
