#pragma once
// Tells apart the line errors that parity marking cannot: the terminal line marks a
// byte with a parity error and a byte with a framing error alike (FF 00 c), and a
// 0x00 byte with a parity error exactly like a break (FF 00 00). The driver's error
// counters, read after a read that carried marks, say how many of each kind there
// were; each marked byte takes the kind that its value and the counters leave open.
// Where the counters do not decide (a driver that keeps none, or two kinds that
// could each fit), the line settings give the reading:
//   space or mark parity  a marked byte is a ninth-bit (parity) byte, 0x00 included
//   odd or even parity    a marked 0x00 is a break, any other marked byte a parity error
//   no parity             a marked 0x00 is a break, any other marked byte a framing error
// Two kinds that both fit one byte give both bits, so that no caller takes it as clean.

#include <cstddef>
#include <cstdint>

#include "serial/ErrorCounters.h"
#include "serial/ParityMarkDecoder.h"

class TMarkClassifier {
 public:
  // The parity the line is set to ('N', 'O', 'E', 'M', 'S').
  void SetParity(char parity) { Parity = parity; }
  // Adds the counters' increase since the last reading. An increase not yet matched
  // by marks stays for the marks of the next read (bytes counted before they are read).
  void AddCounts(const TErrorCounters& increase);
  // Forgets increases not yet matched (after a purge).
  void ForgetCounts() { Credit = {}; }
  // Sets Errors of every marked byte among bytes[0, count).
  void Classify(TDecodedByte* bytes, size_t count);

  // The reading of one marked byte by the line settings alone.
  static uint32_t ReadingBySettings(uint8_t value, char parity);

 private:
  TErrorCounters Credit;
  char Parity = 'N';
};
