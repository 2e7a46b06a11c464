#include "variables/DeviceAccess.h"

#include <QString>

#include "link/BusDriver.h"
#include "link/DeviceQueries.h"
#include "variables/ExtendedVariable.h"

namespace {

constexpr int ReadAttempts = 5;
constexpr int WriteAttempts = 5;
constexpr int EepromSwitchNew = 512;
constexpr int EepromSwitchOld = 1279;

}  // namespace

// ---- reads and verified writes -------------------------------------------------------------

namespace {
bool MayAttempt(int attempt, const TRetryGate& mayRetry) {
  return attempt == 0 || !mayRetry || mayRetry();
}
}  // namespace

bool ReadDeviceVariable(TBusDriver* driver, TExtendedVariable& variable,
                        const TRetryGate& mayRetry) {
  variable.SetRawValue(NotReadSentinel);
  if (!driver) return false;
  for (int attempt = 0; attempt < ReadAttempts && variable.RawValue == NotReadSentinel &&
                        MayAttempt(attempt, mayRetry);
       ++attempt) {
    variable.Read(*driver, false);
  }
  return variable.RawValue != NotReadSentinel;
}

bool WriteDeviceVariable(TBusDriver* driver, TExtendedVariable& variable,
                         const TRetryGate& mayRetry, TAfterRefusal afterRefusal) {
  const int32_t target = variable.RawValue;
  if (!driver) return false;
  for (int attempt = 0; attempt < WriteAttempts && MayAttempt(attempt, mayRetry); ++attempt) {
    variable.SetRawValue(target);
    const bool accepted = variable.Write(*driver, false);
    if (!accepted && afterRefusal == TAfterRefusal::WriteAgain) continue;
    ReadDeviceVariable(driver, variable, mayRetry);
    if (variable.RawValue == target) return true;
  }
  return false;
}

namespace {
bool ValidDataType(int dataType) {
  return dataType >= dtByte && dataType <= dtPacked;
}

// A memory variable at `address` (combined write off).
TExtendedVariable MemoryVariable(int address, int dataType) {
  TExtendedVariable variable(QStringLiteral("0 W"), false);
  variable.Address = static_cast<uint16_t>(address);
  variable.DataType = static_cast<TDataType>(dataType);
  return variable;
}
}  // namespace

bool ReadDeviceValue(TBusDriver* driver, int address, int32_t& value, int dataType) {
  value = NotReadSentinel;
  if (!ValidDataType(dataType)) return false;
  TExtendedVariable variable = MemoryVariable(address, dataType);
  const bool ok = ReadDeviceVariable(driver, variable);
  value = variable.RawValue;
  return ok;
}

bool WriteDeviceValue(TBusDriver* driver, int address, int32_t value, int dataType) {
  if (!ValidDataType(dataType)) return false;
  TExtendedVariable variable = MemoryVariable(address, dataType);
  variable.SetRawValue(value);
  return WriteDeviceVariable(driver, variable);
}

// ---- EEPROM write switch ------------------------------------------------------------------

int EepromSwitchAddress(int32_t version) {
  const int32_t minor = version % 1000;
  if (minor >= 200) return EepromSwitchNew;
  if (minor >= 141) return EepromSwitchOld;
  if (minor == 0) return 0;
  return -1;
}

bool SetEepromWrites(TBusDriver* driver, bool enable, int32_t version) {
  int address = EepromSwitchAddress(version);
  if (address == 0) {
    // Minor 0: firmware that reports text after its version has the newer switch.
    std::string text;
    if (RequestVersion(driver, true, text) == -1) return false;
    address = text.empty() ? EepromSwitchOld : EepromSwitchNew;
  }
  if (address < 0) return false;
  return WriteDeviceValue(driver, address, enable ? 255 : 0, dtByte);
}
