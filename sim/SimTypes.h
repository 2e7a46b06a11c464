#pragma once
// What the simulated set-up is made of and reports, shared by the façade
// (Simulator.h) and the equipment models behind it: the options, the injected
// faults, the writes a unit received and the wire counters.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "serial/VirtualLine.h"

// What hangs on the PC's serial port.
enum class TSimInterface {
  Bx2Working,          // BX2 running its firmware
  Bx2BootLoader,       // BX2 waiting in its boot loader (as after a reset with the line in break)
  Bx2BadlyProgrammed,  // BX2 without working firmware: its boot loader sends 0x11 at 19200 baud
  Bx1,                 // the older echoing interface (in-process only)
};

// The BX2's bus mode as it reports it in its 'V' answer.
enum class TSimBusMode { KMBus, NineBit };

// How the device reports its firmware version in reply to request 0x05.
enum class TSimVersionForm {
  Full32,     // 0x82 + 4 value bytes (the version in binary)
  Split16,    // 0x82 + low 16 bits; request 0x06 gives 0x83 + high 16 bits
  HexDigits,  // like Full32, but the decimal digits are sent as hexadecimal digits
};

// Faults injected into what the equipment sends towards the PC. Every decision
// comes from one std::mt19937 seeded with Seed, so a run is reproducible.
struct TSimFaults {
  double DropReply = 0;        // probability that a frame is not sent at all
  double CorruptChecksum = 0;  // probability that a frame's checksum byte is wrong
  double NoiseBytes = 0;       // probability of 1..3 random bytes before a frame
  double LateReply = 0;        // probability that a frame is delayed by LateMs
  int LateMs = 700;
  bool DeviceSilent = false;        // the device behind the interface never answers
  bool SilentAfterVersion = false;  // the device stops answering once it told its version
  bool LosesSwitchOff = false;      // the writes that turn the EEPROM switch off never arrive
  int VanishAfterFrames = -1;       // the line vanishes after this many frames sent (-1 never)
  int LoseBootLine =
      0;  // the boot loader (device or BX2) never hears its k-th write-line command (once; 0 never)
  bool RefuseAuthorisation = false;  // the device boot loader answers every authorisation 'E'
  uint32_t Seed = 1;
};

struct TSimOptions {
  TSimInterface Interface = TSimInterface::Bx2Working;
  uint32_t InterfaceVersion = 1130132;
  TSimBusMode BusMode = TSimBusMode::KMBus;
  int NineBitResets = 1;            // 'R' commands a 9-bit BX2 needs before it reports KMBus
  uint8_t BootLoaderVersion = 113;  // BX2 boot loader: version byte of its 'V' reply
  uint8_t BootLoaderFirmwareVersion = 113;  // BX2 boot loader: firmware version byte

  uint32_t DeviceVersion = 2606207;
  TSimVersionForm VersionForm = TSimVersionForm::Full32;
  std::string VersionText;  // bytes after the 4 value bytes of the 0x82 reply (may be empty)
  uint8_t DeviceAddress = 0;
  uint16_t CalibrationSource = 1003;   // the word at 0x21C4
  bool VariableInfoShortForm = false;  // answer 0x35/0x36 in the short (combined-write) form

  // Device boot loader (reached through the BX2 with the reset request).
  uint8_t DeviceBootLoaderVersion = 113;
  uint8_t DeviceBootLoaderFirmwareVersion = 113;
  bool DeviceBootLoaderText = false;  // text boot loader with a "U" stream, else binary frames
  int DeviceBootLoaderBaud = 9600;    // the rate of its "U" stream in the text method

  bool Paced = false;      // real wire pacing; false = fast mode for unit tests
  int StatusEvery = 0;     // every n-th interface frame carries two status bytes (0 never)
  int HeartbeatMs = 1000;  // bus frame the device broadcasts while a driver is attached (0 off)
  TSimFaults Faults;
  // Where no break can reach the interface (a pseudo-terminal), the boot loader's
  // connection burst followed by "P" resets a working BX2 into its boot loader,
  // and a device boot loader prepared by flag 7 gets the line at any other rate.
  bool BurstEntersBootLoader = false;

  // Units in turn on the same interface (a production line): with UnitStaysMs > 0
  // the first unit is taken away after that time, the next one is attached
  // UnitGapMs later (a fresh device with its own serial number), and so on.
  int UnitStaysMs = 0;                 // 0: the first unit stays for good
  int UnitGapMs = 3000;                // time without a unit between two units
  int32_t NextCalibrationSource = -1;  // word at 0x21C4 of the later units (-1 as the first)
  int UnitCount = 0;                   // units that come in all (0 no limit)
};

// One memory write command the device received.
struct TSimMemoryWrite {
  uint8_t Command = 0;
  uint16_t Address = 0;  // the device address the command names
  uint8_t Value = 0;     // the byte written (for bit commands: the byte after the change)
  bool Kept = false;     // false when the non-volatile memory refused it (writes disabled)
};

// One unit that has been attached to the simulated interface, with what the tool
// did to it.
struct TSimUnitRecord {
  int Number = 1;  // 1 for the unit present at start
  uint16_t CalibrationSource = 0;
  uint32_t Serial = 0;  // what the device-info answer carries
  std::vector<TSimMemoryWrite> Writes;
  std::vector<std::pair<uint16_t, uint16_t>> ChangedWords;
  TLineTime Arrived{};  // when it started to answer
  bool Present = true;
};

// Counters for checks of the wire traffic.
struct TSimStats {
  int HostFrames = 0;       // well-formed frames received from the PC
  int BadHostFrames = 0;    // frames received from the PC with a wrong checksum
  int DeviceRequests = 0;   // requests that reached the device
  int FramesSent = 0;       // frames sent towards the PC (faults included)
  int FramesDropped = 0;    // frames the fault injection swallowed
  int LinesProgrammed = 0;  // BX2 boot loader: "W" lines accepted since the last handshake
  int LinesRejected = 0;    // BX2 boot loader: "W" lines with a wrong sum
  int DeviceLines = 0;      // device boot loader: write-line commands accepted
  int ClockTicks = 0;       // rounds of the equipment's clock (what it does unasked)
};
