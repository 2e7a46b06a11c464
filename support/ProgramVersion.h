#pragma once
// What every program prints for --version: the program version and the version of
// the BX2 interface firmware image the programs carry.

#include <cstdint>
#include <string>

inline constexpr char ProgramVersion[] = "9007119.4";
// Kept equal to the embedded image's version by a test.
inline constexpr int32_t InterfaceImageVersion = 1130132;

inline std::string VersionText(const std::string& program) {
  return program + " " + ProgramVersion + "\nBX2 interface image " +
         std::to_string(InterfaceImageVersion) + "\n";
}
