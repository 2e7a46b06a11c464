// Building blocks shared by the firmware file reader, writer and tools: the
// record scrambling and the comma text of the descriptor.
#pragma once

#include <QByteArray>
#include <QStringList>

#include <cstdint>

// Scrambling of descriptor, configuration and message records. Byte number p of
// a string (the first is p = 1) is stored as plain + KffScrambleShift(p), modulo
// 256; reading subtracts the same amount. Every file used with the tool, the
// embedded interface image included, is written with this transform.
inline std::uint8_t KffScrambleShift(int position) {
  return static_cast<std::uint8_t>((position * 0x1D) ^ 0xA7);
}

inline void KffScramble(QByteArray& bytes) {
  for (int i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(static_cast<std::uint8_t>(bytes[i]) + KffScrambleShift(i + 1));
}

inline void KffUnscramble(QByteArray& bytes) {
  for (int i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(static_cast<std::uint8_t>(bytes[i]) - KffScrambleShift(i + 1));
}

inline std::uint8_t KffSum8(const QByteArray& bytes) {
  std::uint8_t Sum = 0;
  for (char c : bytes) Sum = static_cast<std::uint8_t>(Sum + static_cast<std::uint8_t>(c));
  return Sum;
}

// Splits a comma text: items separated by blanks (codes 1 to 32) or commas; an
// item in double quotes may hold blanks and commas, "" standing for one quote.
// A byte 0 ends the text.
QStringList KffParseCommaText(const QByteArray& text);
// The inverse: items that hold blanks, commas or quotes (and empty items) are
// quoted, items are separated by one blank.
QByteArray KffCommaText(const QStringList& items);
