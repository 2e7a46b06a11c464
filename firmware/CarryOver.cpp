#include "firmware/CarryOver.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "variables/ExtendedVariable.h"

int64_t DecodeScaled(uint16_t word) {
  const int e = word >> 14;
  const int64_t m = word & 0x3FFF;
  return m << (6 - 2 * e);
}

int64_t DivRoundHalfEven(int64_t numerator, int64_t denominator) {
  const int64_t q = numerator / denominator;
  const int64_t twiceRest = 2 * (numerator % denominator);
  if (twiceRest > denominator || (twiceRest == denominator && (q & 1) != 0)) return q + 1;
  return q;
}

bool EncodeScaled(int64_t x, uint16_t& word) {
  if (x < 0) return false;
  int e = 3;
  int64_t m = x;
  while (m > 0x3FFF) {
    m = DivRoundHalfEven(x, int64_t{1} << (8 - 2 * e));
    --e;
    if (e < 0) return false;
  }
  word = static_cast<uint16_t>(m + e * 0x4000);
  return true;
}

namespace {

// Configuration byte i, or 0 past the end.
uint8_t ConfigByte(const std::string& config, size_t i) {
  return i < config.size() ? static_cast<uint8_t>(config[i]) : 0;
}

}  // namespace

std::string AddedCalibrationOffsets(const std::string& oldConfig, const std::string& newConfig,
                                    bool longConfig) {
  std::string offsets;
  const size_t length = std::max(oldConfig.size(), newConfig.size());
  for (size_t i = 0; i < length; ++i) {
    uint8_t added = ConfigByte(newConfig, i) & static_cast<uint8_t>(~ConfigByte(oldConfig, i));
    size_t start = 8 * i;
    if (longConfig) {
      start = 14 * (i / 2) + (i % 2 == 0 ? 0 : 8);
      if (i % 2 == 1) added &= 0x3F;  // the second byte of a pair covers 6 offsets
    }
    for (int b = 0; b < 8; ++b) {
      const size_t offset = start + static_cast<size_t>(b);
      if ((added & (1u << b)) != 0 && offset < 256) offsets.push_back(static_cast<char>(offset));
    }
  }
  return offsets;
}

namespace {

std::string DecodeHexMap(const char* hex) {
  std::string bytes;
  for (size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
    unsigned value = 0;
    std::sscanf(hex + i, "%2x", &value);
    bytes.push_back(static_cast<char>(value));
  }
  return bytes;
}

}  // namespace

std::string DefaultCalibrationMap(int mapNumber) {
  const int n = mapNumber;
  if (n == 1 || (n >= 100 && n <= 109))
    return DecodeHexMap("00000000000000000000000000000000000000000000FEFFFFFFFFFF01000000");
  if ((n >= 2 && n <= 28) || (n >= 110 && n <= 143) || (n >= 150 && n <= 152))
    return DecodeHexMap("00000000000000000000000000000000000000000000FFFFFFFFFFFF01000000");
  if (n >= 200 && n <= 204)
    return DecodeHexMap("000000000000000000000000000000000000000000FFFFFFFFFFFFFF01000000");
  return {};
}

std::string CalibrationMapKey(int mapNumber) {
  char key[16];
  std::snprintf(key, sizeof key, "CalMap%.3d", ((mapNumber % 1000) + 1000) % 1000);
  return key;
}

namespace {

bool ReadWord(const TCalibrationAccess& access, int address, int64_t& value, std::string& error) {
  int32_t raw = 0;
  if (!access(address, raw, error, dtWord, true)) return false;
  value = raw & 0xFFFF;
  return true;
}

bool WriteWord(const TCalibrationAccess& access, int address, int64_t value, std::string& error) {
  int32_t raw = static_cast<int32_t>(value);
  return access(address, raw, error, dtWord, false);
}

bool WriteScaled(const TCalibrationAccess& access, int address, int64_t value, std::string& error) {
  uint16_t word = 0;
  if (!EncodeScaled(value, word)) {
    error = ScaleDoesNotFit;
    return false;
  }
  return WriteWord(access, address, word, error);
}

constexpr int BaseAddress(int k) {
  return caBaseB + 2 * k;
}
constexpr int DerivedAddress(int k) {
  return caDerivedB + 2 * k;
}

// Fills the derived words from the raw base words (the first has factor 2).
bool SeedDerivedValues(const TCalibrationAccess& access, std::string& error) {
  for (int k = 0; k < 5; ++k) {
    int64_t source = 0;
    if (!ReadWord(access, BaseAddress(k), source, error)) return false;
    if (!WriteScaled(access, DerivedAddress(k), source * (k == 0 ? 2 : 1), error)) return false;
  }
  return true;
}

bool CopyDerivedToBase(const TCalibrationAccess& access, std::string& error) {
  for (int k = 0; k < 5; ++k) {
    int64_t value = 0;
    if (!ReadWord(access, DerivedAddress(k), value, error)) return false;
    if (!WriteWord(access, BaseAddress(k), value, error)) return false;
  }
  return true;
}

bool WriteProducts(const TCalibrationAccess& access, std::string& error) {
  std::array<int64_t, 5> v{};  // V1 .. V5
  for (int k = 0; k < 5; ++k) {
    int64_t word = 0;
    if (!ReadWord(access, BaseAddress(k), word, error)) return false;
    v[static_cast<size_t>(k)] = DecodeScaled(static_cast<uint16_t>(word));
  }
  const auto V = [&v](int i) { return v[static_cast<size_t>(i - 1)]; };
  const std::array<int64_t, 5> products = {V(5) * V(3), V(4) * V(3), V(5) * V(1), V(4) * V(1),
                                           V(2) * V(1)};
  for (int k = 0; k < 5; ++k) {
    const int64_t value = DivRoundHalfEven(products[static_cast<size_t>(k)], 20000);
    if (!WriteScaled(access, DerivedAddress(k), value, error)) return false;
  }
  return true;
}

}  // namespace

bool ConvertCalibrationA(const TCalibrationAccess& access, std::string& error) {
  int64_t v = 0;
  if (!ReadWord(access, caSourceA, v, error)) return false;
  const int64_t w = (v * 64 * 2 + 10) / 20;  // v x 64 / 10, half away from zero (v >= 0)
  // A source of 10240 or more gives a result above 65535; storing its low 16 bits
  // would put a wrong calibration into the device, so nothing is written at all.
  if (w > LargestCalibrationWord) {
    error = ScaleDoesNotFit;
    return false;
  }
  return WriteWord(access, caTargetA1, w, error) && WriteWord(access, caTargetA2, w, error);
}

bool ConvertCalibrationB(const TCalibrationAccess& access, std::string& error) {
  int64_t a = 0;
  if (!ReadWord(access, BaseAddress(4), a, error)) return false;
  const int marker = static_cast<int>(a >> 14);
  if (marker == 0) {
    if (!SeedDerivedValues(access, error)) return false;
    if (!WriteWord(access, BaseAddress(4), a | 0x4000, error)) return false;
  }
  if (marker != 3 && !CopyDerivedToBase(access, error)) return false;
  return WriteProducts(access, error);
}

void ApplyCalibrationConversions(const std::string& addedOffsets, const TCalibrationAccess& access,
                                 const TUnhandledText& unhandledText, std::string& error) {
  error.clear();
  for (auto it = addedOffsets.rbegin(); it != addedOffsets.rend() && error.empty(); ++it) {
    const int offset = static_cast<uint8_t>(*it);
    bool ok = true;
    if (offset == 0xA8) {
      ok = ConvertCalibrationA(access, error);
    } else if (offset == 0xB0) {
      ok = ConvertCalibrationB(access, error);
    } else if (offset == 0xE0) {
      int32_t pending = CarryPendingBit;
      ok = access(caStatus, pending, error, dtByte, false);
    } else if ((offset >= 169 && offset <= 175) || offset == 177) {
      continue;
    } else {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%.2X", static_cast<unsigned>(offset));
      error = unhandledText ? unhandledText(hex)
                            : std::string("Unhandled added calibration (") + hex + ")";
      ok = false;
    }
    if (!ok && error.empty()) error = "General error occurred.";
  }
}
