#pragma once
// The simulated service set-up: a BX2 (or BX1) interface with one inverter/charger
// behind it, attached to a virtual serial line. Tests of every layer use it as the
// peer on the wire:
//
//   TSimulation sim(opts);
//   int port = sim.RegisterAsPort();   // the port list and TRS232o now find it
//   TRS232o p; p.Open(port, 1200, 'N', 1024, 1024); ...
//   EXPECT_EQ(sim.ReadWord(0x21A8), 6419);
//
// The equipment models know nothing of the tool's own protocol code; they are
// written from the wire descriptions only (see sim/README.md).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "serial/VirtualLine.h"
#include "sim/SimTypes.h"

class TSimEquipmentSet;

class TSimulation {
 public:
  explicit TSimulation(TSimOptions options = {});
  ~TSimulation();
  TSimulation(const TSimulation&) = delete;
  TSimulation& operator=(const TSimulation&) = delete;

  const TSimOptions& Options() const { return Opts; }
  std::shared_ptr<TVirtualLine> Line() const { return VirtualLine; }
  // Makes the line reachable as a COM port; 0 picks a free number. Returns the
  // number, or 0 when the port mapping refuses it. Unregistered on destruction.
  int RegisterAsPort(int number = 0);

  // ---- device memory ------------------------------------------------------
  uint8_t ReadByte(uint16_t address) const;
  uint16_t ReadWord(uint16_t address) const;        // little-endian
  void WriteByte(uint16_t address, uint8_t value);  // sets up state, no switch check
  void WriteWord(uint16_t address, uint16_t value);
  bool EepromWritesEnabled() const;  // the device's EEPROM write switch is on
  std::vector<TSimMemoryWrite> Writes() const;
  // Non-volatile words that differ from their start-up value, by address.
  std::vector<std::pair<uint16_t, uint16_t>> ChangedWords() const;
  uint16_t RamVariable(int index) const;
  uint16_t Setting(int index) const;
  bool DeviceInBootLoader() const;
  uint32_t DeviceVersion() const;  // changes after a programming with a new version

  // ---- interface ----------------------------------------------------------
  TSimInterface InterfaceState() const;
  uint32_t InterfaceVersion() const;  // the running firmware's version
  TSimBusMode BusMode() const;
  uint8_t SelectedAddress() const;          // the address set with the 'A' command
  std::vector<uint8_t> StateBlock() const;  // the 7 bytes of the last 'S' command

  // ---- controls -----------------------------------------------------------
  void SetSilent(bool silent);  // the BX2 stops talking until woken up
  void SetDeviceSilent(bool silent);
  void SetFaults(const TSimFaults& faults);  // re-seeds the random source
  // The equipment is switched off and on (what the tool asks the user to do after
  // a reprogramming): boot loaders start the firmware if a good one is there.
  void PowerCycle();
  void Vanish();     // the cable is pulled
  void Reconnect();  // and plugged in again
  TSimStats Stats() const;

  // ---- units in turn --------------------------------------------------------
  // Every unit attached so far, the current one last.
  std::vector<TSimUnitRecord> Units() const;
  void TakeUnitAway();  // the device stops answering (the interface stays)
  // A fresh unit is attached; -1 takes NextCalibrationSource (or the first unit's word).
  void AttachNextUnit(int32_t calibrationSource = -1);

 private:
  TSimOptions Opts;
  std::shared_ptr<TVirtualLine> VirtualLine;
  std::shared_ptr<TSimEquipmentSet> Equipment;
  int RegisteredPort = 0;
};
