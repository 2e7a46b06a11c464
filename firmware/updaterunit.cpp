// The updater's object, its worker thread and the driving steps: life cycle, the
// pause handshake, the frame loop with its acknowledgement table, and the order of
// a whole update (prepare, connect, program, post-process).
#include "firmware/updaterunit.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QString>
#include <QTimer>

#include <chrono>
#include <thread>

#include "firmware/KFFFiles.h"
#include "firmware/UpdaterInternals.h"
#include "serial/RS232o.h"
#include "support/HardcodedStrings.h"
#include "support/Progress.h"
#include "support/Tools.h"
#include "variables/DeviceAccess.h"
#include "variables/ExtendedVariable.h"

using namespace updater;

namespace updater {

void WaitMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void PumpEvents() {
  if (!QCoreApplication::instance()) {
    WaitMs(1);
    return;
  }
  // Runs the event loop for a millisecond rather than sleeping it away: a worker
  // waiting in a synchronised notifier call is served as soon as its call is posted.
  QEventLoop loop;
  QTimer::singleShot(1, Qt::PreciseTimer, &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace updater

// ---- life cycle ----------------------------------------------------------------

TThreadPtr<TUpdater> TUpdater::Create(TRS232o* port) {
  return TThreadPtr<TUpdater>(TSafeThread::Create<TUpdater>(false, port));
}

TUpdater::TUpdater(TRS232o* port) : Port(port), Buffer(std::make_unique<TReprogramBuffer>()) {
  if (!Port) {
    OwnedPort = std::make_unique<TRS232o>();
    Port = OwnedPort.get();
    OwnsPort = true;
  }
  PreparePort();
  StepCallback = [](int n) { StepProgress(n); };
}

TUpdater::~TUpdater() {
  // The thread has ended before an object of ours is freed (Stop waits for it).
  OwnedPort.reset();
  Buffer.reset();
  PrefixFrames.clear();
}

void TUpdater::PreparePort() {
  Port->ClearDtr(false);  // DTR on
  Port->ClearRts(true);   // RTS off
  Port->SetReadTimeouts(20);
  Port->PurgeAll();
}

void TUpdater::Step(int n) const {
  if (StepCallback) StepCallback(n);
}

TCodePart* TUpdater::MainPart() const {
  return Buffer->PartAt(Buffer->IndexOfPart(QStringLiteral("Main")));
}

void TUpdater::PauseWorker() {
  PauseRequested = true;
  while (!Idle) PumpEvents();
}

void TUpdater::WaitWorkerPaused() {
  while (!(PauseRequested && Idle)) PumpEvents();
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
    // Asked to end between two lines: the rest of the part is not sent.
    if (State == usRunning && StopBeforeNextLine.load()) State = usCommError;
    if (State == usRunning) {
      if (FramesSent < FramesTotal) {
        std::string frame;
        if (!PrefixFrames.empty()) {
          frame = PrefixFrames.front();
          PrefixFrames.erase(PrefixFrames.begin());
        } else {
          frame = BuildLine(PartIndex, NextLine++);
        }
        if (!frame.empty()) {
          CurrentFrame = frame;
          SendLine();
        }
        // A failed frame is not counted, so 100 % means every frame was acknowledged.
        if (State == usRunning) {
          ++FramesSent;
          Percent = static_cast<int>(RoundHalfAway(FramesSent * 100.0 / FramesTotal));
        }
      } else {
        State = usFinished;
        Percent = 100;
      }
    }
    if (State != usRunning) PauseRequested = true;
    if (Notifier) SyncCall([this] { RunNotifier(); });
  }
  Idle = true;
}

void TUpdater::RunNotifier() {
  // Asked here, in the driving thread, so that the question may read its state.
  if (State == usRunning && StopWanted && StopWanted()) StopBeforeNextLine = true;
  if (PauseRequested && State == usFinished) Idle = true;
  if (Notifier) Notifier(Percent, State);
}

void TUpdater::SendLine() {
  ++LinesTransmitted;
  char reply = 'X';
  std::string answer;
  if (!SendFrame(CurrentFrame)) {
    reply = 'T';
  } else if (ReceiveReply(1, LineReplyTimeoutMs, answer) && !answer.empty()) {
    reply = answer[0];
  }
  int32_t message = -1;
  int failState = usCommError;
  switch (reply) {
    case 'N':
      return;
    case 'V':
      if (CurrentFrame == SyncBurst) return;
      message = Ids().UnexpectedResponse;
      break;
    case 'B':
      message = Ids().BootstrapOverlap;
      failState = usUnsuitable;
      break;
    case 'D':
      message = Ids().IdError;
      failState = usUnsuitable;
      break;
    case 'E':
      message = Ids().GeneralError;
      break;
    case 'T':
      message = Ids().ErrorDuringTransmit;
      break;
    case 'X':
      message = Ids().NoResponse;
      break;
    default:
      message = Ids().UnexpectedResponse;
      break;
  }
  LastError = Text(message);
  State = failState;
}

// ---- driving steps ------------------------------------------------------------------

bool TUpdater::PrepareTarget(bool skipFamily) {
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
  Port->SetBreak(DeviceVersion < 0);
  return DeviceVersion >= 0;
}

void TUpdater::Connect(int method, bool useConnectInfo, std::string& error, TUpdaterStep step,
                       const std::string& name) {
  const bool ownWindow = !step;
  if (ownWindow) {
    ShowProgress(QText(Caption(name)), QText(Text(Ids().TryingToConnect)), 0, 100, 0, false);
    StepCallback = [](int n) { StepProgress(n); };
  } else {
    StepCallback = std::move(step);
  }
  State = usFinished;
  if (DeviceVersion < 0) {
    ConnectDirect(method, useConnectInfo, error);
  } else {
    ConnectThroughInterface(method, useConnectInfo, error);
  }
  if (ownWindow) ShowProgress(QString(), QString());
}

void TUpdater::ProgressNotifier(int percent, int /*state*/) {
  if (FramesSent == 3) SetProgressTexts(QText(ProgressText), QString());
  SetProgressPosition(percent);
}

bool TUpdater::ProgramMain(const std::string& name, bool mayReplaceBootblock,
                           TUpdaterNotifier notifier) {
  if (notifier) {
    Notifier = std::move(notifier);
    return StartPart("Main", true);
  }
  State = usCommError;
  const int check = CheckBootblock(mayReplaceBootblock);
  if (check != bbGoOn) {
    switch (check) {
      case bbCommLost:
        LastError = Text(Ids().CommunicationError);
        break;
      case bbNotSupported:
        LastError = Text(Ids().BootblockNotSupported);
        State = usUnsuitable;
        break;
      case bbNewerRequired:
        LastError = Text(Ids().NewerBootblockRequired);
        State = usUnsuitable;
        break;
      default:
        LastError = Text(Ids().BootblockUpdateFailed);
        break;
    }
    return false;
  }
  Notifier = [this](int percent, int state) { ProgressNotifier(percent, state); };
  ProgressText = Text(Ids().Programming);
  ShowProgress(QText(Caption(name)), QText(Text(Ids().PleaseWaitErasing)), 0, 100, 0, false);
  bool ok = StartPart("Main", true);
  if (ok) {
    WaitWorkerPaused();
    ok = State == usFinished;
  } else if (LastError.empty()) {
    // No "Main" part in the file: nothing that could be sent to this device.
    LastError = Text(Ids().FileNotSuitable);
    State = usUnsuitable;
  }
  ShowProgress(QString(), QString());
  Notifier = nullptr;
  if (!ok) return false;
  std::string error;
  PostProcess(name, error);
  LastError = error;
  return error.empty();
}
