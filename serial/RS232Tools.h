#pragma once
// The list of the machine's serial ports for the port choice: captions "Com n",
// one per line, and a parallel list of port numbers.

#include <cstdint>
#include <string>
#include <vector>

// Port numbers parallel to the port combo's items; the scan only appends.
using TPortList = std::vector<int32_t>;

// String table index of the suffix after a port that another program holds.
extern int32_t InUseSuffix;

enum class TPortState {
  psAbsent,    // nothing to open at this number
  psFree,      // exists and may be opened
  psInUse,     // exists and is held (by another program or another object of this one)
  psNoAccess,  // exists, but the user may not open it
};
// What an open of port n finds; the device is closed again at once.
TPortState ProbePortState(int n);
// 1 the port exists and is free, 0 it exists and is held (by another program or
// another object of this one), -1 it does not exist. A port the user may not open
// counts as existing and free, so that choosing it tells the user what to do.
int ProbePort(int n);
// "Com " followed by n.
std::string PortCaption(int n);
// Fills text with the captions of ports 1..count, separated by single carriage
// returns; a held port other than `current` gets the InUseSuffix text. Without
// probing every number is listed and no device is opened.
void ScanPorts(int current, TPortList* list, int count, std::string& text, bool probe);

// Declares the unit's strings; needs the string table started.
void StartUnitRS232Tools();
void StopUnitRS232Tools();
