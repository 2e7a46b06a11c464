#pragma once
// Reads and verified writes of device memory through a running bus driver, each on a
// short-lived or given extended variable, and the device's EEPROM write switch.
// Every routine reports failure by its result and never throws.

#include <cstdint>
#include <functional>

class TBusDriver;
class TExtendedVariable;

// Asked before every attempt after the first; false ends the attempts (a job that is
// being stopped). Empty: every attempt is made.
using TRetryGate = std::function<bool()>;

// Read: up to 5 attempts until RawValue differs from NotReadSentinel.
bool ReadDeviceVariable(TBusDriver* driver, TExtendedVariable& variable,
                        const TRetryGate& mayRetry = {});
// What a verified write does after the device refused a write: read back anyway (the
// value may have arrived though its acknowledgement did not), or write again at once.
enum class TAfterRefusal { ReadBack, WriteAgain };
// Verified write of RawValue: up to 5 attempts of write + read-back (a read as above).
bool WriteDeviceVariable(TBusDriver* driver, TExtendedVariable& variable,
                         const TRetryGate& mayRetry = {},
                         TAfterRefusal afterRefusal = TAfterRefusal::ReadBack);
// dataType: one of the variable data types (dtByte, dtSigned, dtWord, ...).
bool ReadDeviceValue(TBusDriver* driver, int address, int32_t& value, int dataType);
bool WriteDeviceValue(TBusDriver* driver, int address, int32_t value, int dataType);
// Writes 255 (enable) or 0 to the EEPROM write switch that the version selects.
bool SetEepromWrites(TBusDriver* driver, bool enable, int32_t version);

// Address of the EEPROM write switch for a version: 512, 1279, 0 = ask the device, -1 = none.
int EepromSwitchAddress(int32_t version);
