// What Windows tells about a COM port: the Ports class device whose "PortName" is the
// port, its hardware id (USB vendor and product ids), manufacturer, the description the
// adapter reports on the bus, and, where the instance id is the USB serial number, that.

// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <devpropdef.h>
// clang-format on

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "serial/PortDetails.h"

namespace {

// The device setup class "Ports" (COM and LPT ports).
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
// The description the device reports on its bus (for USB, the product string).
constexpr DEVPROPKEY kBusReportedDescription = {
    {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};

std::string Upper(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(std::max(size, 0)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

// A wide text up to its first terminating zero (a multi-string gives its first entry).
std::wstring FirstText(const std::vector<wchar_t>& buffer) {
  return std::wstring(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
}

std::string RegistryProperty(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
  std::vector<wchar_t> buffer(512, L'\0');
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(
          set, &info, property, &type, reinterpret_cast<BYTE*>(buffer.data()),
          static_cast<DWORD>(buffer.size() * sizeof(wchar_t) - 4), nullptr))
    return {};
  if (type != REG_SZ && type != REG_MULTI_SZ) return {};
  return Narrow(FirstText(buffer));
}

std::string BusReportedDescription(HDEVINFO set, SP_DEVINFO_DATA& info) {
  std::vector<wchar_t> buffer(512, L'\0');
  DEVPROPTYPE type = 0;
  if (!SetupDiGetDevicePropertyW(
          set, &info, &kBusReportedDescription, &type, reinterpret_cast<BYTE*>(buffer.data()),
          static_cast<DWORD>(buffer.size() * sizeof(wchar_t) - 4), nullptr, 0) ||
      type != DEVPROP_TYPE_STRING)
    return {};
  return Narrow(FirstText(buffer));
}

std::string PortNameOf(HDEVINFO set, SP_DEVINFO_DATA& info) {
  HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return {};
  std::vector<wchar_t> buffer(64, L'\0');
  DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t) - 2);
  DWORD type = 0;
  const LONG read = RegQueryValueExW(key, L"PortName", nullptr, &type,
                                     reinterpret_cast<BYTE*>(buffer.data()), &size);
  RegCloseKey(key);
  if (read != ERROR_SUCCESS || type != REG_SZ) return {};
  return Narrow(FirstText(buffer));
}

std::string InstanceId(HDEVINFO set, SP_DEVINFO_DATA& info) {
  std::vector<wchar_t> buffer(512, L'\0');
  if (!SetupDiGetDeviceInstanceIdW(set, &info, buffer.data(), static_cast<DWORD>(buffer.size() - 1),
                                   nullptr))
    return {};
  return Narrow(FirstText(buffer));
}

// The four hexadecimal digits after `key` ("VID_") in a hardware id, or "".
std::string IdAfter(const std::string& hardwareId, const std::string& key) {
  const size_t at = Upper(hardwareId).find(key);
  if (at == std::string::npos || at + key.size() + 4 > hardwareId.size()) return {};
  std::string id = hardwareId.substr(at + key.size(), 4);
  for (char c : id)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
  for (auto& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return id;
}

// A USB device's instance id ends in its serial number when it has one; Windows makes
// up an id with '&' in it for a device without one, and other buses use other forms.
std::string SerialFromInstanceId(const std::string& instanceId) {
  if (Upper(instanceId).rfind("USB\\", 0) != 0) return {};
  const size_t last = instanceId.rfind('\\');
  const std::string tail = instanceId.substr(last + 1);
  if (last <= 4 || tail.empty() || tail.find('&') != std::string::npos) return {};
  return tail;
}

struct TPortFacts {
  TUsbFacts Usb;
  std::string Description;
};

TPortFacts FactsOf(HDEVINFO set, SP_DEVINFO_DATA& info) {
  TPortFacts facts;
  facts.Description = RegistryProperty(set, info, SPDRP_FRIENDLYNAME);
  const std::string hardwareId = RegistryProperty(set, info, SPDRP_HARDWAREID);
  TUsbFacts& usb = facts.Usb;
  usb.VendorId = IdAfter(hardwareId, "VID_");
  usb.ProductId = IdAfter(hardwareId, "PID_");
  if (usb.VendorId.empty() && usb.ProductId.empty()) return facts;  // not a USB adapter
  usb.Manufacturer = RegistryProperty(set, info, SPDRP_MFG);
  usb.Product = BusReportedDescription(set, info);
  usb.SerialNumber = SerialFromInstanceId(InstanceId(set, info));
  return facts;
}

// The facts of every present port by its name ("COM3"), in one pass over the devices.
std::map<std::string, TPortFacts> ReadPresentPorts() {
  std::map<std::string, TPortFacts> ports;
  HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return ports;
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof(info);
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
    const std::string name = Upper(PortNameOf(set, info));
    if (!name.empty()) ports[name] = FactsOf(set, info);
  }
  SetupDiDestroyDeviceInfoList(set);
  return ports;
}

// A list of 256 numbers asks for each in turn: one pass serves the calls of a second.
TPortFacts PresentPort(const std::string& name) {
  static std::mutex mutex;
  static std::map<std::string, TPortFacts> ports;
  static std::chrono::steady_clock::time_point readAt;
  std::lock_guard lock(mutex);
  const auto now = std::chrono::steady_clock::now();
  if (readAt == std::chrono::steady_clock::time_point() || now - readAt > std::chrono::seconds(1)) {
    ports = ReadPresentPorts();
    readAt = now;
  }
  const auto found = ports.find(name);
  return found == ports.end() ? TPortFacts() : found->second;
}

// "COM3" for "\\.\COM3" or "COM3".
std::string PortNameFromDevice(const std::string& device) {
  const std::string prefix = "\\\\.\\";
  return Upper(device.rfind(prefix, 0) == 0 ? device.substr(prefix.size()) : device);
}

}  // namespace

std::string DeviceBehind(const std::string& path) {
  return path;
}

std::vector<std::string> StableNamesOf(const std::string&) {
  return {};  // a COM name is Windows' own stable name
}

TUsbFacts UsbFactsOf(const std::string& device) {
  return PresentPort(PortNameFromDevice(device)).Usb;
}

std::string PortDescriptionOf(const std::string& device) {
  return PresentPort(PortNameFromDevice(device)).Description;
}
