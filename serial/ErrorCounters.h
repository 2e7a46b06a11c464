#pragma once
// The receive errors a serial driver counts, by kind (or their increase).

#include <cstdint>

struct TErrorCounters {
  int64_t Parity = 0;
  int64_t Frame = 0;
  int64_t Break = 0;

  int64_t Total() const { return Parity + Frame + Break; }
  bool operator==(const TErrorCounters&) const = default;
  TErrorCounters operator-(const TErrorCounters& earlier) const {
    return {Parity - earlier.Parity, Frame - earlier.Frame, Break - earlier.Break};
  }
};
