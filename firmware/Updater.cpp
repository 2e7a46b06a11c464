// The updater's object, its worker thread and the driving steps: life cycle, the
// pause handshake, the order of a whole update (prepare, connect, program,
// post-process), the connection to the boot loader and the boot block check.
#include "firmware/Updater.h"

#include <QString>

#include "firmware/KFFFiles.h"
#include "firmware/UpdaterInternals.h"
#include "serial/SerialPort.h"
#include "support/HardcodedStrings.h"
#include "support/Progress.h"

using namespace updater;

// ---- life cycle ----------------------------------------------------------------

TThreadPtr<TUpdater> TUpdater::Create(TRS232o* port) {
  return TThreadPtr<TUpdater>(TSafeThread::Create<TUpdater>(false, port));
}

TUpdater::TUpdater(TRS232o* port)
    : Port(OwnPortOr(port)),
      Link(Port, [this] { return Terminated(); }),
      Streamer(Link),
      File(std::make_unique<TReprogramBuffer>()) {
  Streamer.UseFile(File.get());
  StepCallback = [](int n) { StepProgress(n); };
}

// The thread has ended before an object of ours is freed (Stop waits for it).
TUpdater::~TUpdater() = default;

TRS232o& TUpdater::OwnPortOr(TRS232o* port) {
  if (port) return *port;
  OwnedPort = std::make_unique<TRS232o>();
  return *OwnedPort;
}

void TUpdater::Step(int n) const {
  if (StepCallback) StepCallback(n);
}

bool TUpdater::UseStepOrOwnWindow(TUpdaterStep step, const std::string& name, int32_t text) {
  if (step) {
    StepCallback = std::move(step);
    return false;
  }
  // A callback installed by an earlier step may still be there: this step (and its
  // waits) goes to its own window.
  ShowProgress(QText(Caption(name)), QText(Text(text)), 0, 100, 0, false);
  StepCallback = [](int n) { StepProgress(n); };
  return true;
}

TCodePart* TUpdater::MainPart() const {
  return File->PartAt(File->IndexOfPart(QStringLiteral("Main")));
}

void TUpdater::PauseWorker() {
  PauseRequested = true;
  while (!Idle) PumpEvents();
}

void TUpdater::WaitWorkerPaused() {
  while (!(PauseRequested && Idle)) PumpEvents();
}

void TUpdater::SetStopQuestion(std::function<bool()> question) {
  StopWanted = std::move(question);
}

TResult TUpdater::Fail(TUpdateState state, TFault fault, int32_t message) {
  TResult failure = TResult::Failure(fault, Text(message));
  Streamer.Fail(state, failure);
  return failure;
}

// ---- the worker ------------------------------------------------------------------

void TUpdater::Execute() {
  while (!Terminated()) {
    if (PauseRequested) {
      Idle = true;
      WaitTerminated(WorkerPollMs);
      continue;
    }
    Idle = false;
    Streamer.SendNext();
    if (Streamer.State() != TUpdateState::Running) PauseRequested = true;
    if (Notifier) SyncCall([this] { RunNotifier(); });
  }
  Idle = true;
}

void TUpdater::RunNotifier() {
  // Asked here, in the driving thread, so that the question may read its state.
  if (State() == TUpdateState::Running && StopWanted && StopWanted()) Streamer.RequestStop();
  if (PauseRequested && State() == TUpdateState::Finished) Idle = true;
  if (Notifier) Notifier(Percent(), State());
}

TResult TUpdater::StartPart(const std::string& name, bool withAuthorisation) {
  Streamer.SetTarget(DeviceVersion, DataImage);
  TResult started = Streamer.Start(name, withAuthorisation);
  if (started) PauseRequested = false;
  return started;
}

// ---- driving steps ------------------------------------------------------------------

bool TUpdater::PrepareTarget(std::unique_ptr<TReprogramBuffer> file, bool skipFamily) {
  if (file) File = std::move(file);
  Streamer.UseFile(File.get());
  DeviceVersion = -1;
  CarryVersion = -1;
  IsInverter = false;
  const TCodePart* main = MainPart();
  if (!skipFamily && main) {
    const int version = main->GetInt(QStringLiteral("Version"));
    const int family = version / 100000;
    IsInverter = true;
    if (family == 19 || family == 20) {
      DeviceVersion = version;
    } else if (family == 26 || family == 27) {
      CarryVersion = version;
    } else {
      IsInverter = false;
    }
  }
  PauseWorker();
  Port.SetBreak(DeviceVersion < 0);
  return DeviceVersion >= 0;
}

TResult TUpdater::Connect(int method, bool useConnectInfo, TUpdaterStep step,
                          const std::string& name) {
  const bool ownWindow = UseStepOrOwnWindow(std::move(step), name, Ids().TryingToConnect);
  Streamer.SetState(TUpdateState::Finished);
  TResult result = DeviceVersion < 0 ? ConnectDirect(method, useConnectInfo)
                                     : ConnectThroughInterface(method, useConnectInfo);
  if (ownWindow) ShowProgress(QString(), QString());
  return result;
}

void TUpdater::ProgressNotifier(int percent) {
  if (FramesSent() == 3) SetProgressTexts(QText(ProgressText), QString());
  SetProgressPosition(percent);
}

TResult TUpdater::ProgramMain(const std::string& name, bool mayReplaceBootblock,
                              TUpdaterNotifier notifier) {
  if (notifier) {
    Notifier = std::move(notifier);
    return StartPart("Main", true);
  }
  Streamer.SetState(TUpdateState::CommError);
  const TBootblockCheck check = CheckBootblock(mayReplaceBootblock);
  if (check != TBootblockCheck::GoOn) return BootblockFailure(check);
  const TResult programmed = ProgramWithWindow(name);
  if (!programmed) return programmed;
  return PostProcess(name);
}

TResult TUpdater::ProgramWithWindow(const std::string& name) {
  Notifier = [this](int percent, TUpdateState) { ProgressNotifier(percent); };
  ProgressText = Text(Ids().Programming);
  ShowProgress(QText(Caption(name)), QText(Text(Ids().PleaseWaitErasing)), 0, 100, 0, false);
  TResult result = StartPart("Main", true);
  if (result) {
    WaitWorkerPaused();
    // A part ended on request carries no message of its own.
    if (State() != TUpdateState::Finished)
      result =
          Streamer.Failure().Ok() ? TResult::Failure(TFault::Communication) : Streamer.Failure();
  } else {
    // No "Main" part in the file: nothing that could be sent to this device.
    Streamer.Fail(TUpdateState::Unsuitable, result);
  }
  ShowProgress(QString(), QString());
  Notifier = nullptr;
  return result;
}

// ---- boot loader connection -----------------------------------------------------------

TResult TUpdater::ConnectDirect(int method, bool useConnectInfo) {
  Step(3);
  if (useConnectInfo && MainPart()) {
    const QString info = File->PartAt(0)->GetValue(QStringLiteral("ConnectInfo"));
    if (info != KffAbsentMarker) method = MethodFromConnectInfo(info.toStdString(), method);
  }
  Link.SelectCommandSet(method);
  const bool connected = Link.Handshake();
  Step(0);
  TResult result =
      connected ? Identify() : TResult::Failure(TFault::NoDevice, Text(Ids().ErrorConnecting));
  if (!result) Streamer.SetState(TUpdateState::CommError);
  Step(0);
  return result;
}

TResult TUpdater::Identify() {
  const TResult noAnswer = TResult::Failure(TFault::NoDevice, Text(Ids().ErrorConnecting));
  DataImage.clear();
  if (!Link.QueryVersion()) return noAnswer;
  if (Link.Method().QueriesIdentity && !(Link.QueryId() && Link.QueryConfig())) return noAnswer;
  if (Link.Method().ConfigWord && CarryVersion >= 0 && !ConfigBlank()) {
    if (!ReadDataImage()) return noAnswer;
    // A conversion that cannot be done is named to the user: the data lines must
    // not go out with a calibration the device never had.
    std::string carryError;
    ApplyAddedCalibrations(carryError);
    if (!carryError.empty()) return TResult::Failure(TFault::Unsuitable, carryError);
  }
  return TResult::Success();
}

void TUpdater::ShowResetInstruction(bool sendResetFrame, int32_t message, bool force) {
  if (!force && Link.TryRunCommand()) return;
  if (message < 0) message = IsInverter ? Ids().InverterResetInstruction : Ids().ResetInstruction;
  ShowString(message);
  if (!sendResetFrame) return;
  PauseWorker();
  Link.SendResetFrame();
  WaitMs(AfterResetFrameMs);
  Port.SetBreak(false);
  Port.PurgeAll();
}

// ---- boot block check ------------------------------------------------------------------

TUpdater::TBootblockCheck TUpdater::CheckBootblock(bool mayReplace) {
  const TCodePart* main = MainPart();
  File->SetDataReversed(false);
  File->SetSkipData(ConfigBlank());
  const TBootLoaderFacts& loader = Link.Facts();
  TBootblockCheck result = TBootblockCheck::NotSupported;
  if (loader.BootblockVersion == 111) {
    File->SetDataReversed(true);
    ShowString(Ids().Precaution);
    result = TBootblockCheck::GoOn;
  } else if (loader.BootblockVersion >= 112 && loader.BootblockVersion <= 115) {
    result = TBootblockCheck::GoOn;
  }
  if (result == TBootblockCheck::GoOn && main) {
    const int mustBe = main->GetInt(QStringLiteral("MustBeBFV")) & 0xFF;
    const int minimum = main->GetInt(QStringLiteral("MinBFV"));
    const int firmware = loader.BootblockFirmwareVersion;
    if (firmware < minimum || (mustBe != 0 && mustBe != firmware)) {
      const bool canReplace = mayReplace && File->IndexOfPart(QStringLiteral("Bootblock")) >= 0;
      result = canReplace ? ReplaceBootblock() : TBootblockCheck::NewerRequired;
    }
  }
  return result;
}

TUpdater::TBootblockCheck TUpdater::ReplaceBootblock() {
  if (Link.Facts().LongConfig) return TBootblockCheck::NewerRequired;
  TUpdaterNotifier kept = std::move(Notifier);
  Notifier = [this](int percent, TUpdateState) { ProgressNotifier(percent); };
  ProgressText = Text(Ids().UpdatingBootblock, 1);
  ShowProgress(QText(Text(Ids().UpdatingBootblock)), QText(ProgressText), 0, 100, 0, false);
  if (StartPart("Bootblock", true)) WaitWorkerPaused();
  ShowProgress(QString(), QString());
  Notifier = std::move(kept);
  if (State() != TUpdateState::Finished) return TBootblockCheck::UpdateFailed;
  ShowResetInstruction(true);
  ShowProgress(QText(Text(Ids().PleaseWait)), QText(Text(Ids().PleaseWait, 1)), 0, 100, 0, false);
  const bool restarted = Link.WaitForRestart();
  if (restarted) Link.StartReplacedLoader();
  ShowProgress(QString(), QString());
  // The fresh check must never start a second replacement.
  if (restarted && ConnectDirect(Link.MethodNumber(), false)) return CheckBootblock(false);
  return TBootblockCheck::CommLost;
}

TResult TUpdater::BootblockFailure(TBootblockCheck check) {
  switch (check) {
    case TBootblockCheck::CommLost:
      return TResult::Failure(TFault::Communication, Text(Ids().CommunicationError));
    case TBootblockCheck::NotSupported:
      return Fail(TUpdateState::Unsuitable, TFault::Unsuitable, Ids().BootblockNotSupported);
    case TBootblockCheck::NewerRequired:
      return Fail(TUpdateState::Unsuitable, TFault::Unsuitable, Ids().NewerBootblockRequired);
    case TBootblockCheck::GoOn:
    case TBootblockCheck::UpdateFailed:
      break;
  }
  return TResult::Failure(TFault::Communication, Text(Ids().BootblockUpdateFailed));
}
