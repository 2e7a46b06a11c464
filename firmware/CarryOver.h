#pragma once
// Calibration carry-over: which data-area bytes a new firmware adds as calibration,
// and the conversions that derive them from the older values. The device (or a
// 256-byte image of its data area) is reached through a memory accessor so that
// the conversions can run against the bus, the boot loader image or a test map.

#include <cstdint>
#include <functional>
#include <string>

// Device locations of the carry-over.
enum : int {
  caStatus = 8672,     // dtByte; bit 7 set = carry-over pending
  caMapNumber = 8673,  // dtByte; old firmware version mod 1000
  caSourceA = 8644,    // conversion A source
  caTargetA1 = 8616,   // conversion A targets
  caTargetA2 = 8642,
  caBaseB = 8646,     // five base words 8646 .. 8654
  caDerivedB = 8656,  // five derived words 8656 .. 8664
};
constexpr int CarryPendingBit = 0x80;
constexpr int NoMapNumber = 255;

// Reads (read = true) or writes one value; false on failure (the accessor's error
// text, if it has one, goes to `error`).
using TCalibrationAccess =
    std::function<bool(int address, int32_t& value, std::string& error, int dataType, bool read)>;

// Scaled word: top 2 bits exponent e, low 14 bits mantissa m; value = m << (6 - 2e).
int64_t DecodeScaled(uint16_t word);
// Encodes x >= 0; false when it does not fit (then `word` is untouched).
bool EncodeScaled(int64_t x, uint16_t& word);
// numerator / denominator (denominator > 0, numerator >= 0) rounded half to even.
int64_t DivRoundHalfEven(int64_t numerator, int64_t denominator);

// Offsets (one byte each, lowest bit first) whose configuration bit is set in
// `newConfig` and clear in `oldConfig`. A byte missing from the shorter string
// counts as 0. With `longConfig` each byte pair covers 14 offsets (8 + 6).
// Offsets beyond the 256-byte data area are not reported.
std::string AddedCalibrationOffsets(const std::string& oldConfig, const std::string& newConfig,
                                    bool longConfig);

// Built-in calibration map for map number `mapNumber` (32 bytes), empty if none.
std::string DefaultCalibrationMap(int mapNumber);
// Settings key of a calibration map: "CalMap%.3d" of mapNumber mod 1000.
std::string CalibrationMapKey(int mapNumber);

// Text for an offset that no conversion knows (given as two hexadecimal digits).
using TUnhandledText = std::function<std::string(const std::string& offsetHex)>;

// Runs the conversions for the added offsets, last to first, stopping at the first
// error. `error` is empty on success.
void ApplyCalibrationConversions(const std::string& addedOffsets, const TCalibrationAccess& access,
                                 const TUnhandledText& unhandledText, std::string& error);
// Largest value a calibration word holds.
constexpr int64_t LargestCalibrationWord = 0xFFFF;
// Conversion A: targets = round(source x 64 / 10); a result above a word is refused
// with ScaleDoesNotFit before anything is written.
bool ConvertCalibrationA(const TCalibrationAccess& access, std::string& error);
// Conversion B: scaled base values and their derived products.
bool ConvertCalibrationB(const TCalibrationAccess& access, std::string& error);

// Text when a value does not fit the scaled format.
inline constexpr char ScaleDoesNotFit[] = "Scale does not fit!";
