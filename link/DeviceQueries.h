#pragma once
// Device identification queries through a running bus driver: the firmware
// version (with its second-request and hexadecimal-digit rules) and the device's bus
// address (BX2 in KMBus mode). Reads and verified writes of device memory are in
// variables/DeviceAccess.h. Every routine reports failure by its result and never throws.

#include <cstdint>
#include <string>

class TBusDriver;

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
// Both requests as needed, the whole exchange up to `attempts` times while it fails;
// the version number or -1.
int32_t QueryVersion(TBusDriver* driver, int attempts = 1);

// The device-info request (BX2 only). info keeps its defaults without a usable reply.
void ReadDeviceInfo(TBusDriver& driver, TDeviceInfo& info);
// Up to two info requests, then SelectAddress on the driver. False when no device answered
// (also for a driver that is not a BX2).
bool SelectDeviceAddress(TBusDriver* driver);

// When ConnectDevice selects the device's bus address on a BX2: in KMBus mode only (the
// connection cycle, single values), in either mode (the updater, before it programs
// the device behind the interface), or never (the updater's carry-over after the
// programming, which asks the device already selected).
enum class TAddressSelection { KMBusOnly, Always, Never };

// Finds the device behind a running driver: a BX2 first selects the device's bus address
// (SelectDeviceAddress) as `selection` says, then the version is asked up to
// versionAttempts times. The version number, or -1 when the device did not answer.
int32_t ConnectDevice(TBusDriver* driver, int versionAttempts = 1,
                      TAddressSelection selection = TAddressSelection::KMBusOnly);

// Pure helpers (no I/O).
// A version above 9999999 is written in hexadecimal digits: reads its hex form as decimal,
// stopping at the first letter. Others come back unchanged.
int32_t DecimalFromHexDigits(int32_t number);
// Parses a device-info reply; a reply shorter than 11 bytes or of another form leaves info alone.
void ParseDeviceInfo(const std::string& reply, TDeviceInfo& info);
