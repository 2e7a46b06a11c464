// Port names and open-failure words on Linux.

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <QFile>
#include <cstring>

#include "serial/PlatformPorts.h"

namespace {

constexpr int kBuiltInNumbers = 96;  // 1..96; the numbers above are free for the folder

// The name of a user or group; its number when the system knows no name.
std::string UserName(uid_t uid) {
  if (const passwd* p = getpwuid(uid)) return p->pw_name;
  return std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  if (const group* g = getgrgid(gid)) return g->gr_name;
  return std::to_string(gid);
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
  struct stat info {};
  if (path.empty() || stat(path.c_str(), &info) != 0) return {};
  const size_t slash = path.find_last_of('/');
  return PermissionAdviceText({UserName(info.st_uid), GroupName(info.st_gid), info.st_gid == 0,
                               static_cast<unsigned>(info.st_mode & 07777),
                               slash == std::string::npos ? path : path.substr(slash + 1)});
}

std::string SystemErrorWords(int error) {
  if (error == 0) return {};
  return std::string(" (") + std::strerror(error) + ")";
}
