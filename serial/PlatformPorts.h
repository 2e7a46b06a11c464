#pragma once
// What differs between the platforms about naming and opening ports. One
// implementation per platform: PosixPorts.cpp, Win32Ports.cpp.

#include <QString>
#include <string>

// The device of port number n in the built-in table; empty when the table has none.
std::string BuiltInPortPath(int n);
// Writes the port folder's entry naming `path`: a symbolic link on POSIX, a plain
// file holding the device's name on Windows (where links are shortcuts).
bool WritePortFolderEntry(const QString& entry, const std::string& path);
// What a user who may not open `path` can do about it; empty when nothing is known.
std::string PermissionAdvice(const std::string& path);

// Who owns a device node and with which mode (POSIX).
struct TDeviceOwnership {
  std::string Owner;  // user name (or number)
  std::string Group;  // group name (or number)
  bool GroupIsRoot = false;
  unsigned Mode = 0;       // permission bits, e.g. 0660
  std::string DeviceName;  // the node's name, e.g. "ttyUSB0"
};
// The advice for a device that may not be opened: joining its group where that
// group may read and write it and is not root; otherwise who owns it with which
// mode, and the udev rule that gives the group "dialout" access.
std::string PermissionAdviceText(const TDeviceOwnership& device);
// " (the system's words for error)", empty for 0.
std::string SystemErrorWords(int error);
// How a user names a port on this platform, for help texts: "a COM number (3, COM3)"
// and, where devices have paths, an example path.
std::string PortArgumentForms();
