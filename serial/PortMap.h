#pragma once
// Port numbers. The tool names ports "Com n" with n from 1 to 256; this is where a
// number becomes something that can be opened. In order of precedence:
//  1. a virtual line registered in this process (RegisterVirtualPort);
//  2. a path assigned in this process (AssignPortPath, AssignFreePortNumber);
//  3. an entry "comN" (a symbolic link, or a one-line text file holding a path) in
//     the per-user port folder (PortFolder());
//  4. the built-in table of the platform: on Linux
//       1..32   /dev/ttyS0 .. /dev/ttyS31
//       33..64  /dev/ttyUSB0 .. /dev/ttyUSB31
//       65..96  /dev/ttyACM0 .. /dev/ttyACM31
//       97..256 nothing (free for the folder and for this process);
//     on Windows "\\.\COMn".
// All functions are thread-safe.

#include <cstdint>
#include <memory>
#include <string>

class TVirtualLine;

constexpr int MaxPortNumber = 256;

struct TPortTarget {
  std::shared_ptr<TVirtualLine> Line;  // set for a virtual line
  std::string Path;                    // set for a device path
  bool Empty() const { return !Line && Path.empty(); }
};

// What port n stands for (empty when n is out of range or maps to nothing).
TPortTarget ResolvePort(int n);
// The path shown beside a port's caption: the device path, "virtual" for a
// virtual line, "" when nothing is mapped.
std::string PortPath(int n);

// ---- this process ----------------------------------------------------------
void RegisterVirtualPort(int n, std::shared_ptr<TVirtualLine> line);
void UnregisterVirtualPort(int n);
// Registers a line under the lowest free number from 97 up; returns it, or 0 if none is free.
int RegisterVirtualPortAnywhere(std::shared_ptr<TVirtualLine> line);
// Gives port n a device path for this process ("" removes the assignment).
void AssignPortPath(int n, const std::string& path);
// The number that already maps to `path`, else assigns the lowest free number
// from 97 up. Returns 0 when none is free.
int AssignFreePortNumber(const std::string& path);
// Removes every in-process registration and assignment.
void ClearPortAssignments();

// ---- the per-user folder ---------------------------------------------------
// The folder named by the environment variable KALMEON_PORTS_DIR when set, else
// "<user config dir>/Kalmeon Energy/ports".
std::string PortFolder();
// Writes (replaces) the entry comN -> path in the folder, creating the folder.
// False with *error filled when that fails.
bool LinkPortInFolder(int n, const std::string& path, std::string* error = nullptr);
// Removes the entry comN from the folder (true if none is left).
bool UnlinkPortInFolder(int n);
// Where the device of port n was looked for, as a sentence for a message about a
// device that is not there: the folder's entry that named it, or the folder that has
// no entry and what the built-in table gives. Empty when this process gave the number.
std::string PortLookupWords(int n);

// The port mapping has process-wide state (the registrations).
void StartUnitPortMap();
void StopUnitPortMap();
