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
// " (the system's words for error)", empty for 0.
std::string SystemErrorWords(int error);
// How a user names a port on this platform, for help texts: "a COM number (3, COM3)"
// and, where devices have paths, an example path.
std::string PortArgumentForms();
