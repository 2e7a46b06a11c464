// Words for the user about a port that would not open.

#include <string>

#include "serial/PlatformPorts.h"
#include "serial/PortMap.h"
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

// Says where the device was looked for, so that a user who linked it elsewhere (another
// configuration folder, say) sees which folder counted.
std::string NotFoundWords(const TOpenFailure& f) {
  const std::string where = PortLookupWords(static_cast<int>(f.PortNumber));
  const std::string head =
      f.Path.empty() ? "Com " + std::to_string(f.PortNumber) + " is not assigned to any device."
                     : "There is no serial device at " + PortWords(f) + ".";
  return where.empty() ? head : head + " " + where;
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
      return NotFoundWords(failure);
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
