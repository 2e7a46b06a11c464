#pragma once
// Helpers shared by the variable unit's sources (not part of its interface).

#include <QString>
#include <cstdint>

// Rounds half away from zero, saturated to the 32-bit range (NaN gives 0).
int32_t RoundToRaw(double y);

inline int32_t Clamp(int32_t v, int32_t low, int32_t high) {
  return v < low ? low : (v > high ? high : v);
}

inline uint8_t LowByte(int32_t v) {
  return static_cast<uint8_t>(v & 0xFF);
}
inline uint8_t HighByte(int32_t v) {
  return static_cast<uint8_t>((v >> 8) & 0xFF);
}

// The read-error text of the string table, fetched once and kept.
QString ReadErrorText();
