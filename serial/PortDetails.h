#pragma once
// What stands behind each port number, for a technician choosing between adapters:
// the device path, a stable name that leads to the same device, whether another
// program holds it, and for a USB adapter what the adapter says about itself.
// Facts the system does not tell are left empty, never guessed.

#include <string>
#include <vector>

#include "serial/RS232Tools.h"

struct TUsbFacts {
  std::string VendorId;   // four hexadecimal digits, "0403"
  std::string ProductId;  // four hexadecimal digits, "6001"
  std::string Manufacturer;
  std::string Product;
  std::string SerialNumber;
  bool Empty() const {
    return VendorId.empty() && ProductId.empty() && Manufacturer.empty() && Product.empty() &&
           SerialNumber.empty();
  }
};

struct TPortDetails {
  int Number = 0;
  std::string Path;                      // what the number names: a device, or a link to one
  std::string Device;                    // the device Path leads to, when that is another name
  std::vector<std::string> StableNames;  // names of the device that survive re-plugging
  std::string Description;               // the system's own name for the port, if any
  TPortState State = TPortState::psAbsent;
  TUsbFacts Usb;
};

// The facts of port n in the given state (no device is opened).
TPortDetails DescribePort(int n, TPortState state);
// Every number from 1 to count that has a device, each probed once.
std::vector<TPortDetails> ListPortDetails(int count);
// "free", "in use by another program", "no permission to open".
std::string PortStateWords(TPortState state);
// The facts as lines of text (no line break after the last), without the caption:
// the path, the device it leads to, the stable names, the USB adapter.
std::string PortDetailsText(const TPortDetails& details);

// ---- per platform (PosixPortDetails.cpp, Win32PortDetails.cpp) ----------------
// The device that `path` finally names (links followed); `path` itself when it is one.
std::string DeviceBehind(const std::string& path);
// The stable names that lead to `device` (on Linux the links in /dev/serial/by-id,
// or in the folder KALMEON_SERIAL_BY_ID_DIR names), sorted.
std::vector<std::string> StableNamesOf(const std::string& device);
// The USB adapter behind `device` (on Linux from sysfs, /sys or the folder
// KALMEON_SYSFS_ROOT names); empty for a port that is not on USB.
TUsbFacts UsbFactsOf(const std::string& device);
// The system's description of the port behind `device`; empty where it has none.
std::string PortDescriptionOf(const std::string& device);
