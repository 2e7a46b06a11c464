// Words for the user about a port that would not open.

#include <cstdio>
#include <string>

#include "serial/PlatformPorts.h"
#include "serial/PortMap.h"
#include "serial/SerialPort.h"

namespace {

std::string PortWords(const TOpenFailure& f) {
  std::string words = "Com " + std::to_string(f.PortNumber);
  if (!f.Path.empty()) words += " (" + f.Path + ")";
  return words;
}

std::string PermissionWords(const TOpenFailure& f) {
  return "You have no permission to open " + PortWords(f) + "." + PermissionAdvice(f.Path);
}

// "ttyUSB0" -> "ttyUSB[0-9]*": the rule covers every adapter of the kind.
std::string KernelPattern(const std::string& name) {
  size_t end = name.size();
  while (end > 0 && name[end - 1] >= '0' && name[end - 1] <= '9') --end;
  if (end == name.size() || end == 0) return name;
  return name.substr(0, end) + "[0-9]*";
}

std::string OctalMode(unsigned mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode & 07777u);
  return text;
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

std::string PermissionAdviceText(const TDeviceOwnership& device) {
  constexpr unsigned GroupReadWrite = 060;
  const std::string relogin =
      ", then log out and in again, since a new group membership only counts after a fresh "
      "login.";
  // Joining a group helps only when the group may use the device; joining root would
  // hand the user far more than a serial port.
  if ((device.Mode & GroupReadWrite) == GroupReadWrite && !device.GroupIsRoot)
    return " The device belongs to the group \"" + device.Group +
           "\": add your user to it (for example: sudo usermod -aG " + device.Group + " $USER)" +
           relogin;
  return " The device belongs to " + device.Owner + ":" + device.Group + " with mode " +
         OctalMode(device.Mode) +
         ". A udev rule gives the group \"dialout\" access: put the line\n  SUBSYSTEM==\"tty\", "
         "KERNEL==\"" +
         KernelPattern(device.DeviceName) +
         "\", GROUP=\"dialout\", MODE=\"0660\"\ninto /etc/udev/rules.d/60-calibrator-serial.rules, "
         "run: sudo udevadm control --reload && sudo udevadm trigger, and add your user to the "
         "group (for example: sudo usermod -aG dialout $USER)" +
         relogin;
}

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
