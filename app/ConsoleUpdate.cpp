#include "app/ConsoleUpdate.h"

#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <chrono>

#include "app/ConsoleFrontEnd.h"
#include "firmware/KFFFiles.h"
#include "firmware/updaterunit.h"
#include "serial/RS232o.h"
#include "support/Dialogs.h"
#include "support/HardcodedStrings.h"
#include "support/SafeFiles.h"
#include "support/Sema.h"
#include "support/StopRequest.h"
#include "support/Tools.h"

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int PercentOf(const TProgressState& state) {
  const int64_t span = std::max<int64_t>(int64_t(state.Max) - state.Min, 1);
  return static_cast<int>(
      std::clamp<int64_t>((int64_t(state.Position) - state.Min) * 100 / span, 0, 100));
}

// The progress texts carry CR for line breaks; one line is wanted here.
std::string OneLine(const TProgressState& state) {
  QString text = state.Caption;
  if (!state.Info.isEmpty())
    text += (text.isEmpty() ? QString() : QStringLiteral(": ")) + state.Info;
  return text.simplified().toStdString();
}

// The connection and post-processing displays count coarse steps; only the
// programming bar, once the first line is through, follows the lines sent.
bool FollowsLines(const TProgressState& state, const TLineCount& lines) {
  return state.BarVisible && state.Max != StepScale && state.Position > state.Min &&
         lines.Total > 0;
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
  const int percent = PercentOf(state);
  if (Terminal)
    DrawBar(state, percent);
  else
    PrintPlain(state, percent);
  std::fflush(Out);
}

std::string TUpdateProgressSink::TimeLeft(const TLineCount& lines) {
  const int64_t now = NowMs();
  if (lines.Total != TimedTotal || lines.Sent < StartSent) {
    TimedTotal = lines.Total;
    StartMs = now;
    StartSent = lines.Sent;
  }
  const int done = lines.Sent - StartSent;
  if (done <= 0 || now <= StartMs) return {};
  const int64_t leftMs = (now - StartMs) * (lines.Total - lines.Sent) / done;
  const int64_t seconds = (leftMs + 999) / 1000;
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld left", static_cast<long long>(seconds / 60),
                static_cast<long long>(seconds % 60));
  return text;
}

void TUpdateProgressSink::DrawBar(const TProgressState& state, int percent) {
  const std::string text = OneLine(state).substr(0, 50);
  if (!state.BarVisible) {
    std::fprintf(Out, "\r\033[K%s %s", text.c_str(), state.Busy.toStdString().c_str());
    return;
  }
  constexpr int width = 30;
  const int filled = percent * width / 100;
  std::string detail;
  const TLineCount lines = Lines ? Lines() : TLineCount{};
  if (FollowsLines(state, lines)) {
    detail = " " + std::to_string(lines.Sent) + "/" + std::to_string(lines.Total) + " lines";
    const std::string left = TimeLeft(lines);
    if (!left.empty()) detail += ", " + left;
  }
  std::fprintf(Out, "\r\033[K[%s%s] %3d%%%s %s", std::string(filled, '#').c_str(),
               std::string(width - filled, ' ').c_str(), percent, detail.c_str(), text.c_str());
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

// Failures where nothing answered within the waits of the boot loader protocol.
bool IsNoAnswer(const std::string& error) {
  const TUpdaterStringIds& ids = UpdaterStringIds();
  for (int32_t id : {ids.ErrorConnecting, ids.NoBx2Found, ids.NoResponse})
    if (error == FetchText(id)) return true;
  return false;
}

std::string Printable(std::string text) {
  std::replace(text.begin(), text.end(), '\r', '\n');
  return text;
}

int Failed(const std::string& error) {
  std::fprintf(stderr, "Update failed:\n%s\n", Printable(error).c_str());
  return IsNoAnswer(error) ? ceTimeout : ceDeviceError;
}

// The port went during the update (its adapter pulled): the device is left in its
// boot loader, and the same update run again finds it there.
int PortLostInUpdate(uint32_t portNumber) {
  std::fprintf(stderr,
               "Com %u lost during the update: the device may be left in its boot loader. Run the "
               "same update again once the port is back.\n",
               portNumber);
  return cePortError;
}

bool LoadFile(const std::string& fileName, TReprogramBuffer& buffer) {
  QFile file;
  std::string error;
  // Refused before it is read: a FIFO or device (which could wait for good) and a
  // file larger than any firmware file.
  if (!OpenRegularFile(QString::fromStdString(fileName), file, error, KffMaxFileBytes)) {
    std::fprintf(stderr, "calibrator-cli: cannot read %s: %s\n", fileName.c_str(), error.c_str());
    return false;
  }
  buffer.LoadFromStream(file, false, error);
  if (error.empty() && buffer.IndexOfPart(QStringLiteral("Main")) < 0)
    error = "the file has no \"Main\" part";
  if (error.empty()) return true;
  std::fprintf(stderr, "calibrator-cli: %s: %s\n", fileName.c_str(), Printable(error).c_str());
  return false;
}

bool Confirmed(const std::string& fileName, const TReprogramBuffer& buffer) {
  const TCodePart* main = buffer.PartAt(buffer.IndexOfPart(QStringLiteral("Main")));
  const std::string question = "Update the device's firmware from " + fileName + " (version " +
                               std::to_string(main->GetInt(QStringLiteral("Version"))) + ")?";
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
// seconds (or a request to terminate) stops the sending between two lines.
class TUpdateInterrupts {
 public:
  explicit TUpdateInterrupts(TUpdater& updater) : Updater(updater) {
    SetSecondInterruptNeeded(true, SecondInterruptMs);
    QObject::connect(&Poll, &QTimer::timeout, [this] { Check(); });
    Poll.start(100);
  }
  ~TUpdateInterrupts() { SetSecondInterruptNeeded(false); }
  TUpdateInterrupts(const TUpdateInterrupts&) = delete;
  TUpdateInterrupts& operator=(const TUpdateInterrupts&) = delete;

 private:
  void Check() {
    if (TakeStopWarning()) {
      std::fprintf(stderr,
                   "\nStopping the update now leaves the device in its boot loader: it does "
                   "not work until the update is run again. Press Ctrl-C again within %d "
                   "seconds to stop anyway.\n",
                   SecondInterruptMs / 1000);
      std::fflush(stderr);
    }
    if (StopRequested()) Updater.StopBeforeNextLine = true;
  }

  TUpdater& Updater;
  QTimer Poll;
};

int Interrupted() {
  std::fprintf(stderr,
               "Update failed:\nInterrupted. The device is left in its boot loader: run the "
               "update again.\n");
  return ceDeviceError;
}

int Update(TUpdater& updater, const std::string& name, int method) {
  TUpdateInterrupts interrupts(updater);
  updater.PrepareTarget(false);
  std::string error;
  updater.Connect(method, true, error, {}, name);
  if (StopRequested()) return Interrupted();
  if (!error.empty()) return Failed(error);
  const bool programmed = updater.ProgramMain(name, true);
  if (StopRequested() && !programmed) return Interrupted();
  // A programming that reports failure without a message still failed.
  if (!programmed || !updater.LastError.empty())
    return Failed(updater.LastError.empty() ? FetchText(UpdaterStringIds().GeneralError)
                                            : updater.LastError);
  std::printf("Firmware updated.\n");
  std::fflush(stdout);
  return ceOk;
}

}  // namespace

int RunConsoleUpdate(uint32_t portNumber, const std::string& fileName, int method) {
  auto buffer = std::make_unique<TReprogramBuffer>();
  if (!LoadFile(fileName, *buffer)) return ceUsage;
  TRS232o port;
  if (!port.Open(portNumber, 1200, 'N', 1024, 1024)) {
    std::fprintf(stderr, "Error opening port: COM%u\n", portNumber);
    const std::string reason = OpenFailureText(port.LastOpenError());
    if (!reason.empty()) std::fprintf(stderr, "%s\n", reason.c_str());
    return cePortError;
  }
  if (!Confirmed(fileName, *buffer)) {
    std::fprintf(stderr, "Update not done.\n");
    return ceDeviceError;
  }
  TThreadPtr<TUpdater> updater = TUpdater::Create(&port);
  if (!updater) return Failed(FetchText(UpdaterStringIds().GeneralError));
  updater->Buffer = std::move(buffer);
  int status = ceDeviceError;
  {
    TUpdater* u = updater.get();
    TSinkScope progress(std::make_unique<TUpdateProgressSink>(stderr, IsTerminal(stderr), [u] {
      return TLineCount{u->FramesSent, u->FramesTotal};
    }));
    status = Update(*updater, QFileInfo(QString::fromStdString(fileName)).fileName().toStdString(),
                    method);
  }
  updater.reset();  // stops the worker
  port.SetBreak(false);
  if (status != ceOk && port.PortNumber() == 0) return PortLostInUpdate(portNumber);
  return status;
}
