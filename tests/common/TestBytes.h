#pragma once
// Byte strings written as lists of numbers, for expected commands and scripted replies.

#include <initializer_list>
#include <string>

inline std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v & 0xFF));
  return out;
}
