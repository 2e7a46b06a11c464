// Number texts from hostile bytes: a value text either reads as a finite number
// or is refused, and storing it never leaves the data type's range.

#include <QString>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "variables/ExtendedVariable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const QString text =
      QString::fromUtf8(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));
  double value = 0.0;
  if (ParseNumberText(text, value) && !std::isfinite(value)) __builtin_trap();

  // The first byte picks the type and scale the text is stored with.
  static const char* const descriptions[] = {"0 B",    "0 I S0.1", "0 W S0.001 O-3",
                                             "0 H S4", "0^3",      "0 W S-2"};
  TExtendedVariable variable(QString::fromLatin1(descriptions[data[0] % 6]));
  variable.SetValueText(text);
  const int32_t raw = variable.RawValue;
  const bool inRange = variable.DataType == dtByte     ? raw >= 0 && raw <= 255
                       : variable.DataType == dtSigned ? raw >= -32768 && raw <= 32767
                       : variable.DataType == dtBit    ? raw == 0 || raw == 1
                                                       : raw >= 0 && raw <= 65535;
  if (!inRange) __builtin_trap();
  (void)variable.FormatValue(variable.GetValue());
  return 0;
}
