// Variable descriptions from hostile bytes: parsing must never fault, and what
// it leaves behind must be a usable variable.

#include <QString>
#include <cstddef>
#include <cstdint>

#include "variables/ExtendedVariable.h"

namespace {

bool ValidFormat(char format) {
  return (format >= '0' && format <= '9') || format == 'B' || format == 'D' || format == 'H';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QString description =
      QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  TExtendedVariable variable;
  QString error;
  const bool ok = variable.Parse(description, error);
  // A failure names its token; only the bit form can fail on an empty one ("5^").
  if (ok && !error.isEmpty()) __builtin_trap();
  if (!ok && error.isEmpty() && !description.contains(u'^')) __builtin_trap();
  if (!ValidFormat(variable.DisplayFormat) || variable.DataType > dtPacked) __builtin_trap();
  if (variable.DataType == dtBit && variable.BitNumber > 15) __builtin_trap();
  // Everything downstream of a parsed description must cope with its values.
  for (int32_t raw : {0, 1, -1, 0x7FFF, 0xFFFF, 0x7FFFFFFF}) {
    const double value = variable.RawToValue(variable.DecodeRaw(raw));
    (void)variable.FormatValue(value);
    (void)variable.ValueToRaw(true, value);
    (void)variable.ValueToRaw(false, value);
  }
  return 0;
}
