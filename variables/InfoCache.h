#pragma once
// The variable-information cache shared by all variables: the last good answer
// per identifier, used when a device answers an information request with a
// length that none of the known forms has.

#include <array>
#include <cstdint>

// The words of one information answer: scale, offset, default, minimum, maximum
// (a variable's answer carries the first two only).
struct TInfoWords {
  int16_t Scale = 0;
  int16_t Offset = 0;
  int16_t Default = 0;
  int16_t Minimum = 0;
  int16_t Maximum = 0;
};

struct TInfoCache {
  std::array<TInfoWords, 127> Entries{};  // by identifier 0..126
  bool CombinedWrite = false;             // of the last information answer
};

// The unit's cache (all zero when the unit starts).
TInfoCache& InfoCache();
void ResetInfoCache();
