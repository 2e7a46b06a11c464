#pragma once
// The device updater: reprograms a device through its boot loader from a loaded
// firmware file. The driving (main) thread runs the steps (connect, boot block
// check, post-processing) and waits for the worker by pumping events; the worker
// only streams the prepared frames of one part (TPartStreamer) over the boot
// loader link (TBootLoaderLink) and checks each acknowledgement.
//
// Typical use (the interface refresh):
//   TThreadPtr<TUpdater> updater = TUpdater::Create(&port);
//   updater->PrepareTarget(std::move(file), false);
//   TResult result = updater->Connect(1, true, {}, "BX2");
//   if (result) result = updater->ProgramMain("BX2", true);
//   updater.reset();          // Stop(true, true, true)
//   port.SetBreak(false);

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "firmware/BootLoaderLink.h"
#include "firmware/PartStreamer.h"
#include "firmware/UpdaterStrings.h"
#include "support/Result.h"
#include "support/Threads.h"

class TRS232o;
class TReprogramBuffer;
class TCodePart;
class TBusDriver;
class TDeviceSession;

// Progress after every frame: (percent, state). Runs in the driving thread.
using TUpdaterNotifier = std::function<void(int percent, TUpdateState state)>;
// Coarse progress: n > 0 announces n more steps, 0 advances one step, n < 0 waits
// -n times 100 ms advancing one step each time.
using TUpdaterStep = std::function<void(int n)>;

class TUpdater : public TSafeThread {
 public:
  // Creates the updater on `port` (not owned), or on a port of its own when
  // `port` is null, and prepares the port. The worker starts paused and idle.
  static TThreadPtr<TUpdater> Create(TRS232o* port = nullptr);
  ~TUpdater() override;

  // ---- the steps of an update, in this order ----------------------------------
  // Takes the loaded firmware file (null: keeps the one held, empty at creation) and
  // works out its target. Returns true when the target is an inverter/charger
  // reached through the interface.
  bool PrepareTarget(std::unique_ptr<TReprogramBuffer> file, bool skipFamily);
  // Connects to the boot loader (directly, or through the interface first).
  // Without `step` a progress display is shown.
  TResult Connect(int method, bool useConnectInfo, TUpdaterStep step = {},
                  const std::string& name = {});
  // With a notifier: only starts sending "Main"; the notifier follows the rest.
  // Without: checks the boot block, programs "Main", post-processes.
  TResult ProgramMain(const std::string& name, bool mayReplaceBootblock,
                      TUpdaterNotifier notifier = {});
  // Restarts the device and carries its calibrations over (ProgramMain's last step).
  TResult PostProcess(const std::string& name, TUpdaterStep step = {});
  // Asked in the driving thread after every line; yes ends the part before the next.
  void SetStopQuestion(std::function<bool()> question);
  // Waits (pumping events) until the worker has paused itself and is idle.
  void WaitWorkerPaused();

  // ---- read-only figures --------------------------------------------------------
  TUpdateState State() const { return Streamer.State(); }
  int Percent() const { return Streamer.Percent(); }
  int FramesSent() const { return Streamer.FramesSent(); }
  int FramesTotal() const { return Streamer.FramesTotal(); }
  // Why the last part failed, once the worker is idle.
  const TResult& PartFailure() const { return Streamer.Failure(); }
  const TBootLoaderLink& BootLoader() const { return Link; }
  const TPartStreamer& Part() const { return Streamer; }

 protected:
  void Execute() override;

 private:
  friend class TSafeThread;
  // The tests drive the single steps below.
  friend struct TUpdaterTestAccess;

  explicit TUpdater(TRS232o* port);
  TRS232o& OwnPortOr(TRS232o* port);
  void RunNotifier();
  void Step(int n) const;
  // Opens the progress display with `text` unless the caller gives its own step;
  // true when it was opened (and must be closed).
  bool UseStepOrOwnWindow(TUpdaterStep step, const std::string& name, int32_t text);
  TCodePart* MainPart() const;
  // Sets PauseRequested and waits (pumping events) until the worker is idle.
  void PauseWorker();
  TResult StartPart(const std::string& name, bool withAuthorisation);
  TResult Fail(TUpdateState state, TFault fault, int32_t message);

  // ---- boot loader connection ------------------------------------------------
  TResult ConnectDirect(int method, bool useConnectInfo);
  TResult Identify();
  // `message`: a string index of the "updater" section; -1 picks the reset
  // instruction for this target.
  void ShowResetInstruction(bool sendResetFrame, int32_t message = -1, bool force = false);

  // ---- boot block check ------------------------------------------------------
  enum class TBootblockCheck { CommLost, GoOn, NotSupported, NewerRequired, UpdateFailed };
  TBootblockCheck CheckBootblock(bool mayReplace);
  TBootblockCheck ReplaceBootblock();
  TResult BootblockFailure(TBootblockCheck check);
  TResult ProgramWithWindow(const std::string& name);
  // The progress display's notifier: texts after the third frame, bar every time.
  void ProgressNotifier(int percent);

  // ---- calibration carry-over ------------------------------------------------
  bool MemoryAccess(int address, int32_t& value, std::string& error, int dataType, bool read);
  bool ConfigBlank() const;
  bool ReadDataImage();
  std::string FindAddedCalibrations() const;
  void ApplyAddedCalibrations(std::string& error);
  TResult ConnectThroughInterface(int method, bool useConnectInfo);
  TResult PrepareDeviceThroughInterface(bool& silent);
  bool MarkCarryOverPending(TBusDriver& driver);
  bool ResetDeviceIntoBootLoader(TBusDriver& driver);
  bool ApplyStoredMap(int mapNumber, int32_t version, std::string& error);
  bool CarryOverThroughInterface(TDeviceSession& session, std::string& error);

  std::unique_ptr<TRS232o> OwnedPort;
  TRS232o& Port;
  TBootLoaderLink Link;
  TPartStreamer Streamer;
  std::unique_ptr<TReprogramBuffer> File;
  int DeviceVersion = -1;  // an inverter/charger reached through the interface
  int CarryVersion = -1;   // files of family 26 or 27: the data area is carried
  bool IsInverter = false;
  std::string DataImage;  // the device's data area, or empty
  std::string ProgressText;
  std::atomic<bool> PauseRequested{true};
  std::atomic<bool> Idle{true};
  TUpdaterNotifier Notifier;
  TUpdaterStep StepCallback;
  std::function<bool()> StopWanted;
  TBusDriver* PostDriver = nullptr;
};
