#pragma once
// The serial dialogue with a device's boot loader: the command set and framing of
// the connection method in use, the connection handshakes, the identification
// queries, the data block reads and the device's reset. It runs in the driving
// thread while the worker is paused, except SendFrame and ReceiveReply, which the
// worker uses for every line.

#include <cstdint>
#include <functional>
#include <string>

#include "firmware/BootMethods.h"

class TRS232o;

// The synchronisation burst; a "V" reply to it is accepted as an acknowledgement.
inline constexpr char SyncBurst[] = "UUUUUUUUUUUU";

// The commands of the method in use; an empty command is one the method lacks.
struct TBootCommands {
  std::string WriteCode, WriteData, Identity, Config, Version, Authorise, Restart, ReadData;
};

// What the boot loader told about itself and its device.
struct TBootLoaderFacts {
  int BootblockVersion = 0;          // byte 1 of the version reply
  int BootblockFirmwareVersion = 0;  // byte 2, or the version when byte 2 is 0
  std::string DeviceId;              // identity bytes
  std::string DeviceConfig;          // configuration bits, at most 255 bytes
  uint32_t ConfigWord = 0;           // methods that carry the configuration word
  bool LongConfig = false;           // DeviceConfig is 38 bytes long
};

class TBootLoaderLink {
 public:
  // Prepares `port` for the boot loader (DTR on, RTS off, short read time-outs).
  // `stopping` is asked between the slices of a long read.
  TBootLoaderLink(TRS232o& port, std::function<bool()> stopping);

  TRS232o& Port() const { return Line; }
  void SelectCommandSet(int method);
  int MethodNumber() const { return ConnectMethod; }
  // The table entry of the method in use.
  const TBootMethod& Method() const;
  bool IsBinary() const;
  const TBootCommands& Commands() const { return Command; }
  // Every frame written is read back and compared.
  bool EchoCheck() const { return Echo; }
  const TBootLoaderFacts& Facts() const { return Told; }
  // The calibration map stored before programming stands for the configuration.
  void AdoptConfig(std::string config);
  // The first 4 identity bytes for binary methods, empty for text methods.
  std::string DeviceIdPrefix() const;

  // The connection handshake of the selected method (method 6 probes first).
  bool Handshake();
  // Version, identity, configuration; the version reply may switch method 2 and 3.
  bool QueryVersion();
  bool QueryId();
  bool QueryConfig();
  // Block `index` (0 to 3) of the device's data area, 64 bytes.
  bool ReadDataBlock(int index, std::string& block);
  // Boot loader firmware above 113 restarts the device on its own command.
  bool TryRunCommand();
  // The bus reset frame, twice at 2400 baud, then BREAK at 19200.
  void SendResetFrame();
  // A restarted boot loader says so with AA AA.
  bool WaitForRestart();
  // The handshake that starts a freshly replaced boot loader.
  void StartReplacedLoader();

  bool SendFrame(const std::string& payload);
  // Discards the receive buffer and writes; with EchoCheck also compares the echo.
  bool WriteRaw(const std::string& bytes, int pauseMs = 0);
  // Binary methods: one binary reply. Text methods: `expectedLength` bytes, or a
  // counted reply when it is 0.
  bool ReceiveReply(int expectedLength, int timeoutMs, std::string& reply);

 private:
  // The tests plant what a boot loader would have told.
  friend struct TUpdaterTestAccess;

  int ReadPort(uint8_t* buffer, int count, int firstTimeoutMs);
  bool WritePlain(const std::string& bytes);
  bool HuntBaud();
  void ProbeAt115200();
  bool ConnectSyncBurst();
  bool ConnectEchoedBurst();
  bool ConnectBx2Loader();

  TRS232o& Line;
  std::function<bool()> Stopping;
  int ConnectMethod = 1;
  bool Echo = false;
  TBootCommands Command;
  TBootLoaderFacts Told;
};
