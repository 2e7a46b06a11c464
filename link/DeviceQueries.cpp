#include "link/DeviceQueries.h"

#include <algorithm>
#include <cstdio>

#include "link/BX2Driver.h"
#include "link/BusDriver.h"
#include "link/ProtocolCodes.h"

namespace {

constexpr int32_t LargestDecimalVersion = 9999999;

constexpr size_t DeviceInfoSize = 11;
constexpr uint8_t NoDeviceAddress = 255;

uint8_t ByteAt(const std::string& bytes, size_t index) {
  return static_cast<uint8_t>(bytes[index]);
}

// Little-endian value of `count` bytes starting at `from`.
uint32_t LittleEndian(const std::string& bytes, size_t from, size_t count) {
  uint32_t value = 0;
  for (size_t i = 0; i < count; ++i)
    value |= static_cast<uint32_t>(ByteAt(bytes, from + i)) << (8 * i);
  return value;
}

}  // namespace

// ---- version ----------------------------------------------------------------------

int32_t RequestVersion(TBusDriver* driver, bool first, std::string& text) {
  std::string request(1,
                      static_cast<char>(first ? dev::VersionRequest : dev::SecondVersionRequest));
  if (first) text.clear();
  if (!driver) return -1;
  const int n = driver->Query(request);
  const uint8_t expected = first ? dev::VersionReply : dev::SecondVersionReply;
  const bool ok = n >= 3 && ByteAt(request, 0) == expected;
  if (n > 5) text = request.substr(5, static_cast<size_t>(n) - 5);
  if (!ok) return -1;
  const size_t valueBytes = std::min<size_t>(static_cast<size_t>(n) - 1, 4);
  return static_cast<int32_t>(LittleEndian(request, 1, valueBytes));
}

int32_t DecimalFromHexDigits(int32_t number) {
  if (number <= LargestDecimalVersion) return number;
  char hex[16] = {};
  std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(number));
  int32_t value = 0;
  for (const char* c = hex; *c >= '0' && *c <= '9'; ++c) value = value * 10 + (*c - '0');
  return value;
}

bool ReadVersionRecord(TBusDriver* driver, bool first, TVersionRecord& record) {
  if (first) {
    record.Number = RequestVersion(driver, true, record.Text);
    return record.Number != -1;
  }
  // A device whose first reply carried only 16 bits sends the upper half on request.
  if (record.Number != -1 && record.Number < 65536) {
    std::string scratch;
    const int32_t upper = RequestVersion(driver, false, scratch);
    if (upper == -1) {
      record.Number = -1;
    } else {
      const uint32_t combined = (static_cast<uint32_t>(upper) & 0xFFFFu) << 16 |
                                (static_cast<uint32_t>(record.Number) & 0xFFFFu);
      record.Number = static_cast<int32_t>(combined);
    }
  }
  record.Number = DecimalFromHexDigits(record.Number);
  return record.Number != -1;
}

int32_t QueryVersion(TBusDriver* driver, int attempts) {
  for (int attempt = 0; attempt < attempts; ++attempt) {
    TVersionRecord record;
    if (ReadVersionRecord(driver, true, record) && ReadVersionRecord(driver, false, record))
      return record.Number;
  }
  return -1;
}

// ---- device address -----------------------------------------------------------------

void ParseDeviceInfo(const std::string& reply, TDeviceInfo& info) {
  // Shorter replies are taken as no device: their fields would lie past the end.
  if (reply.size() < DeviceInfoSize || ByteAt(reply, 0) != dev::DeviceInfoReply) return;
  const uint8_t form = ByteAt(reply, 5);
  if (form != 1 && form != 17) return;
  info.FirstValue = LittleEndian(reply, 1, 4);
  info.DeviceAddress = ByteAt(reply, 6);
  info.SecondValue = static_cast<int32_t>(LittleEndian(reply, 7, 4));
  info.LongForm = form == 17;
}

void ReadDeviceInfo(TBusDriver& driver, TDeviceInfo& info) {
  info = TDeviceInfo{};
  std::string text(1, static_cast<char>(dev::DeviceInfoRequest));
  if (driver.AddressedQuery(0, text, -1, dev::DeviceInfoReply)) ParseDeviceInfo(text, info);
}

bool SelectDeviceAddress(TBusDriver* driver) {
  if (!driver || driver->InterfaceKind() != TInterfaceKind::BX2) return false;
  TDeviceInfo info;
  for (int attempt = 0; attempt < 2 && info.DeviceAddress == NoDeviceAddress; ++attempt) {
    ReadDeviceInfo(*driver, info);
  }
  if (info.DeviceAddress == NoDeviceAddress) return false;
  driver->SelectAddress(info.DeviceAddress);
  return true;
}

// ---- connection ---------------------------------------------------------------------

int32_t ConnectDevice(TBusDriver* driver, int versionAttempts, TAddressSelection selection) {
  const bool bx2 = driver && driver->InterfaceKind() == TInterfaceKind::BX2;
  const bool select =
      selection == TAddressSelection::Always ||
      (selection == TAddressSelection::KMBusOnly && bx2 && driver->LinkMode() == lsKMBus);
  if (bx2 && select) SelectDeviceAddress(driver);
  return QueryVersion(driver, versionAttempts);
}
