#include "app/console/Update.h"

#include <QFileInfo>
#include <QTimer>

#include <algorithm>

#include "app/DeviceUpdate.h"
#include "app/console/Exit.h"
#include "app/console/Output.h"
#include "firmware/KFFFiles.h"
#include "firmware/Updater.h"
#include "serial/SerialPort.h"
#include "support/Dialogs.h"
#include "support/HardcodedStrings.h"
#include "support/StopRequest.h"
#include "support/Threads.h"
#include "support/Tools.h"
#include "variables/DeviceSession.h"

namespace {

// The progress texts carry CR for line breaks; one line is wanted here.
std::string OneLine(const TProgressState& state) {
  QString text = state.Caption;
  if (!state.Info.isEmpty())
    text += (text.isEmpty() ? QString() : QStringLiteral(": ")) + state.Info;
  return text.simplified().toStdString();
}

}  // namespace

// ---- progress ---------------------------------------------------------------------

TUpdateProgressSink::TUpdateProgressSink(std::FILE* out, bool terminal,
                                         std::function<TLineCount()> lines)
    : Out(out), Terminal(terminal), Lines(std::move(lines)) {}

void TUpdateProgressSink::Opened(int, const TProgressState& state) {
  LastTenth = -1;
  Show(state);
}

void TUpdateProgressSink::Relaid(int, const TProgressState& state) {
  Show(state);
}

void TUpdateProgressSink::Changed(int, const TProgressState& state) {
  Show(state);
}

void TUpdateProgressSink::Closed(int) {
  if (Terminal) std::fputs("\r\033[K", Out);
  std::fflush(Out);
  LastText.clear();
}

void TUpdateProgressSink::Show(const TProgressState& state) {
  if (Terminal)
    DrawBar(state);
  else
    PrintPlain(state, ProgressPercent(state));
  std::fflush(Out);
}

void TUpdateProgressSink::DrawBar(const TProgressState& state) {
  std::string detail;
  if (state.BarVisible) {
    const TLineCount lines = Lines ? Lines() : TLineCount{};
    if (FollowsLines(state, lines)) detail = Left.LinesText(lines);
  }
  DrawProgressLine(Out, state, OneLine(state).substr(0, 50), detail);
}

void TUpdateProgressSink::PrintPlain(const TProgressState& state, int percent) {
  const std::string text = OneLine(state);
  if (!text.empty() && text != LastText) {
    std::fprintf(Out, "%s\n", text.c_str());
    LastText = text;
  }
  const TLineCount lines = Lines ? Lines() : TLineCount{};
  if (!FollowsLines(state, lines)) return;
  const int tenth = percent / 10;
  if (tenth == LastTenth) return;
  LastTenth = tenth;
  std::fprintf(Out, "%3d%% (%d/%d lines)\n", percent, lines.Sent, lines.Total);
}

// ---- the update -------------------------------------------------------------------

namespace {

std::string Printable(std::string text) {
  std::replace(text.begin(), text.end(), '\r', '\n');
  return text;
}

int Failed(const TResult& failure) {
  std::fprintf(stderr, "Update failed:\n%s\n", Printable(failure.Text()).c_str());
  return ExitFor(failure.Fault());
}

// The port went during the update (its adapter pulled): the device is left in its
// boot loader, and the same update run again finds it there.
int PortLostInUpdate(uint32_t portNumber) {
  std::fprintf(stderr, "%s\n", PortLostInUpdateText(portNumber).c_str());
  return cePortError;
}

bool LoadFile(const std::string& fileName, TReprogramBuffer& buffer) {
  std::string error;
  switch (LoadFirmwareFile(QString::fromStdString(fileName), buffer, error)) {
    case TFirmwareLoad::flOk:
      return true;
    case TFirmwareLoad::flUnreadable:
      std::fprintf(stderr, "calibrator-cli: cannot read %s: %s\n", fileName.c_str(), error.c_str());
      return false;
    case TFirmwareLoad::flRefused:
      break;
  }
  std::fprintf(stderr, "calibrator-cli: %s: %s\n", fileName.c_str(), Printable(error).c_str());
  return false;
}

bool Confirmed(const std::string& fileName, const TReprogramBuffer& buffer) {
  const std::string question = "Update the device's firmware from " + fileName + " (version " +
                               std::to_string(FirmwareVersion(buffer)) + ")?";
  return Dialogs().MessageDialog(question, mkConfirmation, dbYes | dbNo, 0) == drYes;
}

// Puts the previous progress display back when the update ends.
class TSinkScope {
 public:
  explicit TSinkScope(std::unique_ptr<TProgressSink> sink)
      : Previous(SetProgressSink(std::move(sink))) {}
  ~TSinkScope() { SetProgressSink(std::move(Previous)); }
  TSinkScope(const TSinkScope&) = delete;
  TSinkScope& operator=(const TSinkScope&) = delete;

 private:
  std::unique_ptr<TProgressSink> Previous;
};

constexpr int SecondInterruptMs = 5000;

// Once the update has begun, the device lives in its boot loader until the last line
// is through. The first Ctrl-C therefore only says so; a second one within a few
// seconds (or a request to terminate) asks for the stop, which the update takes
// between two lines.
class TUpdateInterrupts {
 public:
  TUpdateInterrupts() {
    SetSecondInterruptNeeded(true, SecondInterruptMs);
    QObject::connect(&Poll, &QTimer::timeout, [] { WarnOfFirstInterrupt(); });
    Poll.start(100);
  }
  ~TUpdateInterrupts() { SetSecondInterruptNeeded(false); }
  TUpdateInterrupts(const TUpdateInterrupts&) = delete;
  TUpdateInterrupts& operator=(const TUpdateInterrupts&) = delete;

 private:
  static void WarnOfFirstInterrupt() {
    if (!TakeStopWarning()) return;
    std::fprintf(stderr,
                 "\nStopping the update now leaves the device in its boot loader: it does "
                 "not work until the update is run again. Press Ctrl-C again within %d "
                 "seconds to stop anyway.\n",
                 SecondInterruptMs / 1000);
    std::fflush(stderr);
  }

  QTimer Poll;
};

int Interrupted() {
  std::fprintf(stderr,
               "Update failed:\nInterrupted. The device is left in its boot loader: run the "
               "update again.\n");
  return ceDeviceError;
}

int Update(TUpdater& updater, std::unique_ptr<TReprogramBuffer> file, const std::string& name,
           int method) {
  TUpdateInterrupts interrupts;
  const TResult result = RunDeviceUpdate(updater, std::move(file), name, method, StopRequested);
  if (result.Fault() == TFault::Stopped) return Interrupted();
  if (!result) return Failed(result);
  std::printf("%s\n", FirmwareUpdatedText);
  std::fflush(stdout);
  return ceOk;
}

}  // namespace

int RunConsoleUpdate(uint32_t portNumber, const std::string& fileName, int method) {
  auto buffer = std::make_unique<TReprogramBuffer>();
  if (!LoadFile(fileName, *buffer)) return ceUsage;
  TRS232o port;
  if (const TResult opened = OpenServicePort(port, portNumber); !opened) {
    std::fprintf(stderr, "%s\n", opened.Text().c_str());
    return ExitFor(opened.Fault());
  }
  if (!Confirmed(fileName, *buffer)) {
    std::fprintf(stderr, "Update not done.\n");
    return ceDeviceError;
  }
  TThreadPtr<TUpdater> updater = TUpdater::Create(&port);
  if (!updater)
    return Failed(
        TResult::Failure(TFault::Communication, FetchText(UpdaterStringIds().GeneralError)));
  int status = ceDeviceError;
  {
    TUpdater* u = updater.get();
    TSinkScope progress(std::make_unique<TUpdateProgressSink>(stderr, IsTerminal(stderr), [u] {
      return TLineCount{u->FramesSent(), u->FramesTotal()};
    }));
    status = Update(*updater, std::move(buffer),
                    QFileInfo(QString::fromStdString(fileName)).fileName().toStdString(), method);
  }
  updater.reset();  // stops the worker
  port.SetBreak(false);
  if (status != ceOk && port.PortNumber() == 0) return PortLostInUpdate(portNumber);
  return status;
}
