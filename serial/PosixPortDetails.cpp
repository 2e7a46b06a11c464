// What Linux tells about a serial device: its stable names in /dev/serial/by-id and,
// for a USB adapter, the adapter's own descriptors in sysfs.

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "serial/PortDetails.h"

namespace fs = std::filesystem;

namespace {

// The folder an environment variable names (the tests' fake trees), else `fallback`.
fs::path FolderFromEnvironment(const char* variable, const char* fallback) {
  if (const char* value = std::getenv(variable); value && *value) return value;
  return fallback;
}

fs::path Canonical(const fs::path& path) {
  std::error_code error;
  fs::path canonical = fs::canonical(path, error);
  return error ? fs::path() : canonical;
}

// The first line of a sysfs attribute, or "" when the kernel does not offer it.
std::string Attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return {};
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
  return line.size() > 256 ? line.substr(0, 256) : line;
}

// The USB device that `tty`'s device belongs to: the nearest folder above it, within
// sysfs, that has a vendor id. Empty for a port that is not on USB.
fs::path UsbDeviceFolder(const fs::path& sysfs, const std::string& tty) {
  const fs::path root = Canonical(sysfs);
  fs::path folder = Canonical(sysfs / "class" / "tty" / tty / "device");
  if (root.empty() || folder.empty()) return {};
  for (; folder != root && folder.has_relative_path(); folder = folder.parent_path()) {
    std::error_code error;
    if (fs::exists(folder / "idVendor", error)) return folder;
  }
  return {};
}

}  // namespace

std::string DeviceBehind(const std::string& path) {
  const fs::path device = Canonical(path);
  return device.empty() ? path : device.string();
}

std::vector<std::string> StableNamesOf(const std::string& device) {
  const fs::path folder = FolderFromEnvironment("KALMEON_SERIAL_BY_ID_DIR", "/dev/serial/by-id");
  std::vector<std::string> names;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, error))
    if (Canonical(entry.path()) == fs::path(device)) names.push_back(entry.path().string());
  std::sort(names.begin(), names.end());
  return names;
}

TUsbFacts UsbFactsOf(const std::string& device) {
  const fs::path sysfs = FolderFromEnvironment("KALMEON_SYSFS_ROOT", "/sys");
  const fs::path usb = UsbDeviceFolder(sysfs, fs::path(device).filename().string());
  TUsbFacts facts;
  if (usb.empty()) return facts;
  facts.VendorId = Attribute(usb / "idVendor");
  facts.ProductId = Attribute(usb / "idProduct");
  facts.Manufacturer = Attribute(usb / "manufacturer");
  facts.Product = Attribute(usb / "product");
  facts.SerialNumber = Attribute(usb / "serial");
  return facts;
}

std::string PortDescriptionOf(const std::string&) {
  return {};  // Linux names no port beyond its device and its adapter
}
