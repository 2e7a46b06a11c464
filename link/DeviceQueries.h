#pragma once
// Device identification queries through a running bus driver: the firmware
// version (with its second-request and hexadecimal-digit rules), the device's bus
// address (BX2 in KMBus mode), and read / verified-write helpers on device memory.
// Every routine reports failure by its result and never throws.

#include <cstdint>
#include <string>

class TBusDriver;
class TBX2Driver;
class TExtendedVariable;

struct TVersionRecord {
  int32_t Number = -1;  // the version number; -1 = no version
  std::string Text;     // bytes of the first version reply after its fifth byte
};

// Filled by ReadDeviceInfo from the reply to the addressed device-info request.
struct TDeviceInfo {
  uint32_t FirstValue = 0;      // reply bytes 1..4
  int32_t SecondValue = -1;     // reply bytes 7..10
  uint8_t DeviceAddress = 255;  // reply byte 6; 255 = no device found
  bool LongForm = false;        // reply byte 5 is 17 rather than 1
};

// Version request 0x05 (first) or 0x06; -1 without driver or valid reply.
// first clears text; a reply longer than 5 bytes puts its bytes after the fifth in text.
int32_t RequestVersion(TBusDriver* driver, bool first, std::string& text);
bool ReadVersionRecord(TBusDriver* driver, bool first, TVersionRecord& record);
// Both requests as needed; the version number or -1. No retries here.
int32_t QueryVersion(TBusDriver* driver);

// The device-info request (BX2 only). info keeps its defaults without a usable reply.
void ReadDeviceInfo(TBX2Driver& driver, TDeviceInfo& info);
// Up to two info requests, then SelectAddress on the driver. False when no device answered
// (also for a driver that is not a BX2).
bool SelectDeviceAddress(TBusDriver* driver);

// Read: up to 5 attempts until RawValue differs from NotReadSentinel (variables/).
bool ReadDeviceVariable(TBusDriver* driver, TExtendedVariable& variable);
// Verified write of RawValue: up to 5 attempts of write + read-back.
bool WriteDeviceVariable(TBusDriver* driver, TExtendedVariable& variable);
// dataType: one of the variable data types (dtByte, dtSigned, dtWord, ...).
bool ReadDeviceValue(TBusDriver* driver, int address, int32_t& value, int dataType);
bool WriteDeviceValue(TBusDriver* driver, int address, int32_t value, int dataType);
// Writes 255 (enable) or 0 to the EEPROM write switch that the version selects.
bool SetEepromWrites(TBusDriver* driver, bool enable, int32_t version);

// Pure helpers (no I/O).
// A version above 9999999 is written in hexadecimal digits: reads its hex form as decimal,
// stopping at the first letter. Others come back unchanged.
int32_t DecimalFromHexDigits(int32_t number);
// Parses a device-info reply; a reply shorter than 11 bytes or of another form leaves info alone.
void ParseDeviceInfo(const std::string& reply, TDeviceInfo& info);
// Address of the EEPROM write switch for a version: 512, 1279, 0 = ask the device, -1 = none.
int EepromSwitchAddress(int32_t version);
