#pragma once
// The device updater: reprograms a device through its boot loader from a loaded
// firmware file. The driving (main) thread runs the steps (connect, boot block
// check, post-processing) and waits for the worker by pumping events; the worker
// only streams the prepared frames of one part and checks each acknowledgement.
//
// Typical use (the interface refresh):
//   TThreadPtr<TUpdater> updater = TUpdater::Create(&port);
//   updater->Buffer->LoadFromStream(stream, true, error);
//   updater->PrepareTarget(false);
//   updater->Connect(1, true, connectError, {}, "BX2");
//   if (connectError.empty()) ok = updater->ProgramMain("BX2", true);
//   updater.reset();          // Stop(true, true, true)
//   port.SetBreak(false);

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "firmware/BootMethods.h"
#include "support/Sema.h"

class TRS232o;
class TReprogramBuffer;
class TCodePart;
class TBusDriver;
class TBX2Driver;

// Progress after every frame: (percent, state). Runs in the driving thread.
using TUpdaterNotifier = std::function<void(int percent, int state)>;
// Coarse progress: n > 0 announces n more steps, 0 advances one step, n < 0 waits
// -n times 100 ms advancing one step each time.
using TUpdaterStep = std::function<void(int n)>;

// Updater states.
enum : int {
  usRunning = 0,
  usCommError = 1,   // communication failed
  usUnsuitable = 2,  // file or boot loader not suitable for the device
  usFinished = 3,
};

// Results of CheckBootblock / ReplaceBootblock.
enum : int {
  bbCommLost = 0,
  bbGoOn = 1,
  bbNotSupported = 2,
  bbNewerRequired = 3,
  bbUpdateFailed = 4,
};

// The synchronisation burst; a "V" reply to it is accepted as an acknowledgement.
inline constexpr char SyncBurst[] = "UUUUUUUUUUUU";

// Time the worker waits for a line acknowledgement.
inline constexpr int LineReplyTimeout = 18000;

class TUpdater : public TSafeThread {
 public:
  // Creates the updater on `port` (not owned), or on a port of its own when
  // `port` is null, and prepares the port. The worker starts paused and idle.
  static TThreadPtr<TUpdater> Create(TRS232o* port = nullptr);
  ~TUpdater() override;

  // ---- operations used by the interface refresh, in this order -------------
  // Returns true when the target is an inverter/charger reached through the
  // interface (DeviceVersion >= 0).
  bool PrepareTarget(bool skipFamily);
  // Connects to the boot loader (directly, or through the interface first).
  // `error` is empty on success. Without `step` a progress display is shown.
  void Connect(int method, bool useConnectInfo, std::string& error, TUpdaterStep step = {},
               const std::string& name = {});
  // With a notifier: only starts sending "Main" and returns whether it started.
  // Without: checks the boot block, programs "Main", post-processes; on failure
  // LastError holds the message.
  bool ProgramMain(const std::string& name, bool mayReplaceBootblock,
                   TUpdaterNotifier notifier = {});

  // ---- boot loader link ----------------------------------------------------
  void SelectCommandSet(int method);
  bool SendFrame(const std::string& payload);
  bool WriteRaw(const std::string& bytes, int pauseMs = 0);
  // Binary methods: one binary reply. Text methods: `expectedLength` bytes, or a
  // counted reply when it is 0.
  bool ReceiveReply(int expectedLength, int timeoutMs, std::string& reply);
  bool ConnectDirect(int method, bool useConnectInfo, std::string& error);
  bool Identify(std::string& error);
  bool QueryId();
  bool QueryConfig();
  bool TryRunCommand();
  // `message`: a string index of the "updater" section; -1 picks the reset
  // instruction for this target.
  void ShowResetInstruction(bool sendResetFrame, int32_t message = -1, bool force = false);
  void SendResetFrame();
  std::string DeviceIdPrefix() const;
  // The table entry of ConnectMethod.
  const TBootMethod& Method() const;
  bool IsBinaryMethod() const;

  // Sends CurrentFrame and checks the boot loader's acknowledgement; a failure sets
  // LastError and State. The worker's step for every frame.
  void SendLine();

  // ---- boot block check and part programming -------------------------------
  int CheckBootblock(bool mayReplace);
  int ReplaceBootblock();
  bool StartPart(const std::string& name, bool withAuthorisation);
  // The frame payload of one line, empty when the line is left out.
  std::string BuildLine(int partIndex, int line) const;
  std::string BuildAuthFrame(const TCodePart& part, bool final, bool first) const;

  // ---- calibration carry-over -----------------------------------------------
  bool MemoryAccess(int address, int32_t& value, std::string& error, int dataType, bool read);
  bool ConfigBlank() const;
  bool ReadDataImage();
  std::string FindAddedCalibrations() const;
  void ApplyAddedCalibrations(std::string& error);
  void ConnectThroughInterface(int method, bool useConnectInfo, std::string& error);
  void PostProcess(const std::string& name, std::string& error, TUpdaterStep step = {});

  // ---- worker handshake -----------------------------------------------------
  // Sets PauseRequested and waits (pumping events) until the worker is idle.
  void PauseWorker();
  // Waits (pumping events) until the worker has paused itself and is idle.
  void WaitWorkerPaused();

  // ---- fields ---------------------------------------------------------------
  // Set from the main thread: the worker sends no further line and the part fails.
  std::atomic<bool> StopBeforeNextLine{false};
  TRS232o* Port = nullptr;
  bool OwnsPort = false;
  std::unique_ptr<TReprogramBuffer> Buffer;
  int ConnectMethod = 1;
  bool EchoCheck = false;
  int DeviceVersion = -1;
  int CarryVersion = -1;
  bool IsInverter = false;
  int BootblockVersion = 0;
  int BootblockFirmwareVersion = 0;
  std::string DeviceId;
  std::string DeviceConfig;
  uint32_t ConfigWord = 0;
  bool LongConfig = false;
  std::string DataImage;
  std::vector<std::string> PrefixFrames;
  int PartIndex = -1;
  int NextLine = 0;
  std::atomic<int> FramesSent{0};
  std::atomic<int> FramesTotal{0};
  std::string CurrentFrame;
  std::atomic<int> State{usFinished};
  std::atomic<int> Percent{0};
  std::atomic<bool> PauseRequested{true};
  std::atomic<bool> Idle{true};
  std::string LastError;
  std::string ProgressText;
  TUpdaterNotifier Notifier;
  TUpdaterStep StepCallback;
  TBusDriver* PostDriver = nullptr;
  // Asked in the driving thread after every line; yes sets StopBeforeNextLine.
  std::function<bool()> StopWanted;

  // How long a line acknowledgement may take.
  int LineReplyTimeoutMs = LineReplyTimeout;
  // Frames the worker handed to SendFrame (for tests and diagnostics).
  std::atomic<int> LinesTransmitted{0};

 protected:
  void Execute() override;

 private:
  friend class TSafeThread;
  explicit TUpdater(TRS232o* port);
  void PreparePort();
  void RunNotifier();
  void Step(int n) const;
  TCodePart* MainPart() const;
  int ReadPort(uint8_t* buffer, int count, int firstTimeoutMs);
  bool WritePlain(const std::string& bytes);
  bool HuntBaud();
  void ProbeAt115200();
  bool ConnectSyncBurst();
  bool ConnectEchoedBurst();
  bool ConnectBx2Loader();
  bool WaitForBootblockRestart();
  bool MarkCarryOverPending(TBX2Driver& bx2);
  bool ResetDeviceIntoBootLoader(TBX2Driver& bx2);
  bool ApplyStoredMap(int mapNumber, int32_t version, std::string& error);
  bool CarryOverThroughInterface(TBX2Driver& bx2, std::string& error);
  // The progress display's notifier: texts after the third frame, bar every time.
  void ProgressNotifier(int percent, int state);

  std::unique_ptr<TRS232o> OwnedPort;
  // Command set of the current method.
  std::string CmdWriteCode, CmdWriteData, CmdIdentity, CmdConfig, CmdVersion, CmdAuthorise,
      CmdRestart, CmdReadData;
};

// Declares the "updater" strings (idempotent).
void StartUnitUpdater();
void StopUnitUpdater();

// Indexes of the "updater" strings (valid after StartUnitUpdater()).
struct TUpdaterStringIds {
  int32_t CannotOpenPort = -1;
  int32_t Precaution = -1;
  int32_t BootblockUpdateQuestion = -1;
  int32_t ResetInstruction = -1;
  int32_t InverterResetInstruction = -1;
  int32_t UpdatingBootblock = -1;
  int32_t CommunicationError = -1;
  int32_t BootblockNotSupported = -1;
  int32_t NewerBootblockRequired = -1;
  int32_t BootblockUpdateFailed = -1;
  int32_t PleaseWait = -1;
  int32_t FileNotSuitable = -1;
  int32_t GeneralError = -1;
  int32_t BootstrapOverlap = -1;
  int32_t IdError = -1;
  int32_t UnexpectedResponse = -1;
  int32_t NoResponse = -1;
  int32_t ErrorConnecting = -1;
  int32_t NoBx2Found = -1;
  int32_t InfoMissing = -1;
  int32_t UnhandledCalibration = -1;
  int32_t UpdatingCaption = -1;
  int32_t TryingToConnect = -1;
  int32_t Programming = -1;
  int32_t PleaseWaitErasing = -1;
  int32_t PostProcessing = -1;
  int32_t ErrorDuringTransmit = -1;
};
const TUpdaterStringIds& UpdaterStringIds();
