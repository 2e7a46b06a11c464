#pragma once
// The simulated inverter/charger: its memory (RAM, the EEPROM write switch and
// the non-volatile data area), firmware version, RAM variables and settings, and
// its boot loader. Transport-agnostic: the interface models hand it requests and
// raw boot-loader bytes and send what it returns.

#include <array>
#include <cstdint>
#include <vector>

#include "sim/SimFrames.h"
#include "sim/SimTypes.h"

class TSimOutput;

class TSimDevice {
 public:
  static constexpr uint32_t FirstSerial = 0x0051AB0C;

  TSimDevice(const TSimOptions& options, TSimStats& stats);

  // One request from the bus; returns the device's replies in order (none when
  // the request needs no reply or the device is silent or in its boot loader).
  std::vector<TSimBytes> HandleRequest(const TSimBytes& request);
  // The device-info answer to an addressed query, as a bus message.
  TSimBytes DeviceInfo() const;
  // A reset request (addressed frame carrying 03): the device starts its boot loader.
  void EnterBootLoader(TLineTime now);
  bool InBootLoader() const { return BootLoader; }

  // Boot loader traffic while the interface passes the line through.
  void BootByte(const TWireByte& byte, TLineTime at, TSimOutput& out);
  // `lineOpen`: the interface passes the line through, so the boot loader's stream reaches it.
  void BootTick(TLineTime now, TSimOutput& out, bool lineOpen);
  // Switched off and on: a boot loader starts the (programmed) firmware.
  void PowerCycle();
  // Another unit takes this one's place: fresh memory, write log and values.
  void AttachUnit(uint16_t calibrationSource, uint32_t serial);
  // Bytes of the line at a rate the boot loader listens to are echoed by the bus.
  bool BootEchoes(int baud) const { return baud != 115200; }

  uint8_t Byte(uint16_t address) const { return Memory[address]; }
  uint16_t Word(uint16_t address) const;
  void SetByte(uint16_t address, uint8_t value) { Memory[address] = value; }
  bool WritesEnabled() const;
  const std::vector<TSimMemoryWrite>& Writes() const { return WriteLog; }
  std::vector<std::pair<uint16_t, uint16_t>> ChangedWords() const;
  uint16_t RamVariable(int index) const { return RamVars.at(static_cast<size_t>(index)); }
  uint16_t Setting(int index) const { return Settings.at(static_cast<size_t>(index)); }
  uint32_t Version() const { return VersionNumber; }
  uint8_t Address() const { return Options.DeviceAddress; }
  uint32_t Serial() const { return SerialNumber; }
  bool Silent = false;
  bool Absent = false;  // no unit on the bus: nothing answers
  // Whether the device answers the bus at all.
  bool Answers() const { return !Silent && !Absent && !BootLoader; }

 private:
  void Fresh(uint16_t calibrationSource);
  int ControllerType() const;
  uint16_t SwitchAddress() const;
  void Store(uint8_t command, uint16_t address, uint8_t value);
  std::vector<TSimBytes> VersionReply(bool first) const;
  std::vector<TSimBytes> MemoryWrite(const TSimBytes& request);
  std::vector<TSimBytes> VariableRequest(const TSimBytes& request);
  std::vector<TSimBytes> InfoReply(bool setting, int index) const;
  uint16_t* Variable(bool setting, int index);
  void BootCommand(const TSimBytes& command, bool text, TLineTime at, TSimOutput& out);
  void BootReply(const TSimBytes& body, bool text, TLineTime at, TSimOutput& out);
  void LeaveBootLoader();
  void StartOver(TLineTime now);
  void StartNewBootLoader(uint8_t firmware, TLineTime at, TSimOutput& out);
  void TakeStartHandshake(uint8_t value);

  const TSimOptions Options;
  TSimStats& Stats;
  uint32_t VersionNumber;
  uint32_t SerialNumber = FirstSerial;
  std::array<uint8_t, 65536> Memory{};
  std::array<uint8_t, 256> StartData{};
  std::vector<TSimMemoryWrite> WriteLog;
  std::vector<uint16_t> RamVars;
  std::vector<uint16_t> Settings;
  int SelectedClass = -1;  // 0 RAM variable, 1 setting, set by 0x32/0x33
  int SelectedIndex = 0;

  // Boot loader state.
  bool BootLoader = false;
  bool BootConnected = false;  // the text boot loader was found and answered
  int BootBaud = 0;            // the rate the boot loader talks at
  TLineTime NextStream{};      // next "U" burst of the text boot loader
  TSimBinaryAssembler Binary;
  TSimTextCommandAssembler TextCommands;
  TSimBytes Programmed;  // code line bytes taken since the boot loader started
  int LinesTaken = 0;
  int LinesHeard = 0;   // write-line commands heard since the device was made
  bool Broken = false;  // a line was lost or refused: the firmware cannot start
  TLineTime LastBootCommand{};
  uint8_t BootFirmware = 0;             // firmware version byte of the boot loader
  bool AwaitingStartHandshake = false;  // a replaced boot loader waits for 55 FF 55 FF 55
  TSimBytes StartHandshake;             // the last bytes heard while it waits
};
