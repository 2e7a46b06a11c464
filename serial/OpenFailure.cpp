// Words for the user about a port that would not open.

#include <string>

#include "serial/PlatformPorts.h"
#include "serial/RS232o.h"

namespace {

std::string PortWords(const TOpenFailure& f) {
  std::string words = "Com " + std::to_string(f.PortNumber);
  if (!f.Path.empty()) words += " (" + f.Path + ")";
  return words;
}

std::string PermissionWords(const TOpenFailure& f) {
  return "You have no permission to open " + PortWords(f) + "." + PermissionAdvice(f.Path);
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
      if (!failure.Detail.empty()) return failure.Detail;
      return PortWords(failure) + " is not a serial port that can be set up." +
             SystemErrorWords(failure.Result.SysError);
    case TSerialFault::sfDisconnected:
      return PortWords(failure) + " was disconnected.";
    case TSerialFault::sfIo:
      break;
  }
  return PortWords(failure) + " could not be opened." + SystemErrorWords(failure.Result.SysError);
}
