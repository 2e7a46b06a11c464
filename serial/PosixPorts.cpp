// Port names and open-failure words on Linux.

#include <grp.h>
#include <sys/stat.h>

#include <QFile>
#include <cstring>

#include "serial/PlatformPorts.h"

namespace {

constexpr int kBuiltInNumbers = 96;  // 1..96; the numbers above are free for the folder

// The group that owns the device, e.g. "dialout"; empty when unknown.
std::string DeviceGroup(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return {};
  if (const group* g = getgrgid(info.st_gid)) return g->gr_name;
  return std::to_string(info.st_gid);
}

}  // namespace

std::string PortArgumentForms() {
  return "a COM number (3, COM3), a device path (/dev/ttyUSB0)";
}

std::string BuiltInPortPath(int n) {
  static const char* const kFamilies[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
  if (n < 1 || n > kBuiltInNumbers) return {};
  return kFamilies[(n - 1) / 32] + std::to_string((n - 1) % 32);
}

bool WritePortFolderEntry(const QString& entry, const std::string& path) {
  return QFile::link(QString::fromStdString(path), entry);
}

std::string PermissionAdvice(const std::string& path) {
  const std::string group = DeviceGroup(path);
  if (group.empty()) return {};
  return " The device belongs to the group \"" + group +
         "\": add your user to it (for example: sudo usermod -aG " + group +
         " $USER), then log out and in again, since a new group membership only counts "
         "after a fresh login.";
}

std::string SystemErrorWords(int error) {
  if (error == 0) return {};
  return std::string(" (") + std::strerror(error) + ")";
}
