#pragma once
// The simulated BX2 interface: its firmware (interface commands, device requests
// passed to the bus, addressed frames, announcements, KMBus and 9-bit modes, the
// wake-up sequence) and its boot loader (text programming method with "P", "V",
// "I", "C", "W" lines and "Rr").

#include <array>
#include <cstdint>

#include "sim/SimDevice.h"
#include "sim/SimFrames.h"
#include "sim/SimOutput.h"

class TSimBx2 {
 public:
  TSimBx2(const TSimOptions& options, TSimDevice& device, TSimOutput& out, TSimStats& stats);

  void OnByte(const TWireByte& byte, TLineTime at);
  void OnLine(const TLineState& state, TLineTime at);
  void OnTick(TLineTime now);
  // Switched off and on: the boot loader starts the firmware if there is a good one.
  void PowerCycle(TLineTime now);

  TSimInterface State() const;
  uint32_t Version() const { return FirmwareVersion; }
  TSimBusMode Mode() const { return BusMode; }
  uint8_t Selected() const { return SelectedAddress; }
  std::array<uint8_t, 7> StateBlock() const { return SBlock; }
  void SetSilent(bool silent) { Silent = silent; }

 private:
  enum class TRun { Firmware, BootLoader, Bad };

  // Firmware side.
  void FirmwareByte(const TWireByte& byte, TLineTime at);
  bool WakeUpByte(const TWireByte& byte, TLineTime at);
  void InterfaceCommand(const TSimBytes& payload, TLineTime at);
  void DeviceRequest(const TSimBytes& request, uint8_t target, uint8_t letter, TLineTime at);
  void AddressedFrame(const TSimBytes& payload, TLineTime at);
  void SendFrame(const TSimBytes& payload, TLineTime at);
  TSimBytes VersionPayload() const;
  TSimBytes StatePayload() const;
  bool TransparentByte(const TWireByte& byte, TLineTime at);
  bool WakeFromPassThrough(const TWireByte& byte, TLineTime at);
  void StartFirmware(TLineTime now);

  // Boot loader side.
  void BootLoaderByte(const TWireByte& byte, TLineTime at);
  void BootLoaderCommand(const TSimBytes& command, TLineTime at);
  void BootLoaderReply(const TSimBytes& bytes, TLineTime at);

  const TSimOptions Options;
  TSimDevice& Device;
  TSimOutput& Out;
  TSimStats& Stats;

  TRun Run = TRun::Firmware;
  uint32_t FirmwareVersion = 0;
  bool FirmwareIntact = true;  // the boot loader has a good firmware to start
  bool ResetByBreak = false;   // in the boot loader because of a break (not stuck there)
  TSimBusMode BusMode = TSimBusMode::KMBus;
  int ResetsSeen = 0;
  uint8_t SelectedAddress = 0;
  std::array<uint8_t, 7> SBlock{};
  std::array<uint8_t, 2> Status{0x01, 0x00};
  int FramesSinceStatus = 0;
  bool Silent = false;
  bool Transparent = false;  // the line is passed through to the device's boot loader
  int WakeBytes = 0;
  TLineTime AnnounceAt{};  // a 'V' announcement is due (zero: none)
  bool Heartbeat = false;
  uint8_t HeartbeatCount = 0;
  TLineTime LastHostByte{};
  TLineTime LastHeartbeat{};
  TSimBx2Assembler Assembler;

  bool Handshake = false;      // the boot loader heard the wake-up burst or "P"
  bool BootConnected = false;  // "P" answered
  TLineTime HandshakeAt{};
  TLineTime LastBootCommand{};
  TLineTime ReturnToFirmwareAt{};  // after the break was released without programming
  TLineTime NextStream{};
  TSimTextCommandAssembler TextCommands;
  TSimBytes Programmed;
  int LinesTaken = 0;
  int LinesHeard = 0;     // "W" lines heard over the simulation's life (the LoseBootLine fault)
  bool LostLine = false;  // a line of this programming was lost: the firmware is broken
};
