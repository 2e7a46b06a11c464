#pragma once
// A boot-link byte reader that hands out the fuzzer's input as if it came off the line,
// then reports nothing more (a time-out) once the input is used up.
#include <cstddef>
#include <cstdint>

#include "firmware/BootLink.h"

inline TBootByteReader FuzzByteReader(const uint8_t* data, size_t size, size_t& next) {
  return [data, size, &next](uint8_t* buffer, int count, int /*first*/) {
    int n = 0;
    while (n < count && next < size) buffer[n++] = data[next++];
    return n;
  };
}
