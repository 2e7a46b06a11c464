#pragma once
// Decodes the byte stream of a terminal line with parity marking switched on:
//   FF FF    a received 0xFF
//   FF 00 00 a break
//   FF 00 x  byte x received with a parity or framing error
// Incremental: a marker split across reads is completed by the next Feed.

#include <cstddef>
#include <cstdint>

struct TDecodedByte {
  uint8_t Value = 0;
  uint32_t Errors = 0;  // le* bits
};

class TParityMarkDecoder {
 public:
  // With parity checking on, a marked byte is a parity error; without it only a
  // framing error can have marked it.
  void SetParityEnabled(bool enabled) { ParityEnabled = enabled; }
  // Decodes `count` raw bytes into `out` (room for `count` + 1 entries is always
  // enough: a stray FF held from the last call comes out with the byte after it)
  // and returns the number of decoded bytes.
  size_t Feed(const uint8_t* raw, size_t count, TDecodedByte* out);
  // Forgets a half-received marker (after a purge).
  void Reset() { State = sPlain; }

 private:
  enum TState { sPlain, sEscape, sMarked };
  TState State = sPlain;
  bool ParityEnabled = false;
};
