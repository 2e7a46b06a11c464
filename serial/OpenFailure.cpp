// Words for the user about a port that would not open.

#include <cstring>
#include <string>

#include "serial/RS232o.h"

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::string PortWords(const TOpenFailure& f) {
  std::string words = "Com " + std::to_string(f.PortNumber);
  if (!f.Path.empty()) words += " (" + f.Path + ")";
  return words;
}

#ifndef _WIN32
// The group that owns the device, e.g. "dialout"; empty when unknown.
std::string DeviceGroup(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return {};
  if (const group* g = getgrgid(info.st_gid)) return g->gr_name;
  return std::to_string(info.st_gid);
}
#endif

std::string PermissionWords(const TOpenFailure& f) {
  std::string text = "You have no permission to open " + PortWords(f) + ".";
#ifndef _WIN32
  const std::string group = DeviceGroup(f.Path);
  if (!group.empty()) {
    text += " The device belongs to the group \"" + group +
            "\": add your user to it (for example: sudo usermod -aG " + group +
            " $USER), then log out and in again, since a new group membership only counts "
            "after a fresh login.";
  }
#endif
  return text;
}

std::string SystemWords(int error) {
  if (error == 0) return {};
#ifdef _WIN32
  return " (system error " + std::to_string(error) + ")";
#else
  return std::string(" (") + std::strerror(error) + ")";
#endif
}

}  // namespace

std::string OpenFailureText(const TOpenFailure& failure) {
  switch (failure.Result.Fault) {
    case TSerialFault::sfNone:
      return {};
    case TSerialFault::sfInUse:
      return PortWords(failure) +
             " is in use by another program. Close that program and try again.";
    case TSerialFault::sfPermissionDenied:
      return PermissionWords(failure);
    case TSerialFault::sfNotFound:
      if (failure.Path.empty())
        return "Com " + std::to_string(failure.PortNumber) + " is not assigned to any device.";
      return "There is no serial device at " + PortWords(failure) + ".";
    case TSerialFault::sfUnsupported:
      return PortWords(failure) + " is not a serial port that can be set up." +
             SystemWords(failure.Result.SysError);
    case TSerialFault::sfDisconnected:
      return PortWords(failure) + " was disconnected.";
    case TSerialFault::sfIo:
      break;
  }
  return PortWords(failure) + " could not be opened." + SystemWords(failure.Result.SysError);
}
