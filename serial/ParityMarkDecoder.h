#pragma once
// Decodes the byte stream of a terminal line with parity marking switched on:
//   FF FF    a received 0xFF
//   FF 00 x  byte x received with a parity or framing error, or (x = 00) a break
// The decoder only says which bytes were marked; TMarkClassifier (MarkClassifier.h)
// decides what each mark was. Incremental: a marker split across reads is completed
// by the next Feed.

#include <cstddef>
#include <cstdint>

struct TDecodedByte {
  uint8_t Value = 0;
  uint32_t Errors = 0;  // le* bits, set by the classifier for a marked byte
  bool Marked = false;  // the line discipline marked it (FF 00 before it)
};

class TParityMarkDecoder {
 public:
  // Decodes `count` raw bytes into `out` (room for `count` + 1 entries is always
  // enough: a stray FF held from the last call comes out with the byte after it)
  // and returns the number of decoded bytes.
  size_t Feed(const uint8_t* raw, size_t count, TDecodedByte* out);
  // Forgets a half-received marker (after a purge).
  void Reset() { State = sPlain; }

 private:
  enum TState { sPlain, sEscape, sMarked };
  TState State = sPlain;
};
