#include "app/ServiceTasks.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>

#include "app/CalibrationCycle.h"
#include "app/CalibrationRecord.h"
#include "app/DeviceUpdate.h"
#include "app/LineProgress.h"
#include "firmware/KFFFiles.h"
#include "firmware/Updater.h"
#include "serial/RS232Tools.h"
#include "serial/SerialPort.h"
#include "support/Progress.h"
#include "support/Settings.h"
#include "support/StopRequest.h"
#include "support/Threads.h"
#include "variables/DeviceSession.h"

namespace {

constexpr const char* FolderSetting = "FirmwareFolder";
constexpr int WatchIntervalMs = 200;

// Adds the percent, the lines sent and the time left to the programming display of
// the sink it wraps. A change that adds or removes that line is laid out again, so
// that the window's height follows the text.
class TLineProgressSink : public TProgressSink {
 public:
  TLineProgressSink(std::unique_ptr<TProgressSink> inner, const TUpdater& updater)
      : Inner(std::move(inner)), Updater(updater) {}

  std::unique_ptr<TProgressSink> Release() { return std::move(Inner); }

  void Opened(int depth, const TProgressState& state) override {
    if (Inner) Inner->Opened(depth, Decorated(state));
  }
  void Relaid(int depth, const TProgressState& state) override {
    if (Inner) Inner->Relaid(depth, Decorated(state));
  }
  void Changed(int depth, const TProgressState& state) override {
    const bool hadLine = LaidOutWithLine;
    const TProgressState shown = Decorated(state);
    if (!Inner) return;
    if (hadLine != LaidOutWithLine)
      Inner->Relaid(depth, shown);
    else
      Inner->Changed(depth, shown);
  }
  void Closed(int depth) override {
    LaidOutWithLine = false;
    if (Inner) Inner->Closed(depth);
  }

 private:
  TProgressState Decorated(const TProgressState& state) {
    const TLineCount lines{Updater.FramesSent(), Updater.FramesTotal()};
    TProgressState shown = state;
    LaidOutWithLine = FollowsLines(state, lines);
    if (LaidOutWithLine) {
      const QString line = QString::number(ProgressPercent(state)) + QStringLiteral("%, ") +
                           QString::fromStdString(Left.LinesText(lines));
      shown.Info = shown.Info.isEmpty() ? line : shown.Info + QLatin1Char('\n') + line;
    }
    return shown;
  }

  std::unique_ptr<TProgressSink> Inner;
  const TUpdater& Updater;
  TTimeLeft Left;
  bool LaidOutWithLine = false;
};

// Wraps the installed progress sink for the time of one update.
class TLineProgressScope {
 public:
  explicit TLineProgressScope(const TUpdater& updater) {
    SetProgressSink(std::make_unique<TLineProgressSink>(SetProgressSink(nullptr), updater));
  }
  ~TLineProgressScope() {
    std::unique_ptr<TProgressSink> mine = SetProgressSink(nullptr);
    if (auto* sink = dynamic_cast<TLineProgressSink*>(mine.get())) SetProgressSink(sink->Release());
  }
  TLineProgressScope(const TLineProgressScope&) = delete;
  TLineProgressScope& operator=(const TLineProgressScope&) = delete;
};

// The updater's texts break lines with CR; the log wants one line per line.
std::string LogText(std::string text) {
  std::replace(text.begin(), text.end(), '\r', '\n');
  return text;
}

}  // namespace

TServiceTasks::TServiceTasks(TCalibrationCycle& cycle, const TCalibrationRecord& record,
                             QObject* parent)
    : QObject(parent), FCycle(cycle), FRecord(record) {
  FWatch.setInterval(WatchIntervalMs);
  connect(&FWatch, &QTimer::timeout, this, [this] { WatchCalibration(); });
  FWatch.start();
  FMayStart = MayStartTask();
}

TServiceTasks::~TServiceTasks() {
  // The adapter check's thread holds its port until the check ends.
  if (FCheckThread) FCheckThread->wait();
}

bool TServiceTasks::CalibrationRunning() const {
  // The timer alone says nothing: it runs from the start, before any port is chosen.
  return FCycle.Port() != nullptr || FCycle.Driver() != nullptr;
}

void TServiceTasks::WatchCalibration() {
  const bool mayStart = MayStartTask();
  if (mayStart == FMayStart) return;
  FMayStart = mayStart;
  emit AvailabilityChanged(mayStart);
}

void TServiceTasks::SetRunning(TServiceTask task) {
  FRunning = task;
  WatchCalibration();
}

std::vector<TPortChoice> TServiceTasks::ListPorts(bool probe) const {
  TPortList numbers{0};
  std::string captions;
  ScanPorts(0, &numbers, 256, captions, probe);
  const QStringList lines = QString::fromStdString(captions).split('\r', Qt::SkipEmptyParts);
  std::vector<TPortChoice> ports;
  for (qsizetype i = 0; i < lines.size() && static_cast<size_t>(i + 1) < numbers.size(); ++i)
    ports.push_back(
        {static_cast<uint32_t>(numbers[static_cast<size_t>(i + 1)]), lines[i].toStdString()});
  return ports;
}

void TServiceTasks::Log(const std::string& text, uint32_t colour, bool bold) {
  FCycle.AddLog(text, true, colour, bold ? TLogStyle::Bold : TLogStyle::Regular);
}

// ---- firmware update --------------------------------------------------------------

QString TServiceTasks::FirmwareFolder() const {
  return QString::fromStdString(GlobalSettings().ReadSetting(FolderSetting));
}

void TServiceTasks::RememberFirmwareFolder(const QString& file) {
  GlobalSettings().WriteSetting(FolderSetting, QFileInfo(file).absolutePath().toStdString());
}

bool TServiceTasks::LoadFirmware(const QString& path, std::string& text) {
  auto buffer = std::make_unique<TReprogramBuffer>();
  std::string error;
  switch (LoadFirmwareFile(path, *buffer, error)) {
    case TFirmwareLoad::flOk:
      FBuffer = std::move(buffer);
      FFirmwarePath = path;
      text = FirmwareSummary(path, *FBuffer);
      return true;
    case TFirmwareLoad::flUnreadable:
      text = "The file cannot be read (" + error + "):\n";
      break;
    case TFirmwareLoad::flRefused:
      text = "This is not a usable firmware file (" + LogText(error) + "):\n";
      break;
  }
  text += QDir::toNativeSeparators(path).toStdString();
  Log("", lcBlack, false);
  Log(text, lcRed, false);
  FBuffer.reset();
  return false;
}

TUpdateResult TServiceTasks::RunUpdate(uint32_t portNumber) {
  if (!FBuffer || !MayStartTask()) return {false, "Another task is running."};
  SetRunning(TServiceTask::stUpdate);
  FStopRequested = false;
  const QDateTime started = QDateTime::currentDateTimeUtc();
  const int version = FirmwareVersion(*FBuffer);
  const std::string name = QFileInfo(FFirmwarePath).fileName().toStdString();
  Log("", lcBlack, false);
  Log("Updating the device's firmware at COM" + std::to_string(portNumber) + " from " + name,
      lcBlack, false);
  TUpdateResult result;
  TRS232o port;
  if (const TResult opened = OpenServicePort(port, portNumber); !opened) {
    result.Text = opened.Text();
  } else if (TThreadPtr<TUpdater> updater = TUpdater::Create(&port)) {
    TResult outcome;
    {
      TLineProgressScope lines(*updater);
      // The window's close and a signal to the program stop it at the same safe points.
      outcome = RunDeviceUpdate(*updater, std::move(FBuffer), name, 6,
                                [this] { return FStopRequested || ::StopRequested(); });
    }
    updater.reset();  // stops the worker
    port.SetBreak(false);
    result.Ok = outcome.Ok();
    result.Text = outcome.Text();
    if (!result.Ok && port.PortNumber() == 0) result.Text = PortLostInUpdateText(portNumber);
    if (result.Ok) result.Text = FirmwareUpdatedText;
  }
  result.Text = LogText(result.Text);
  Log(result.Text, result.Ok ? lcGreen : lcRed, true);
  std::string error;
  if (!FRecord.Append(UpdateFacts(portNumber, version, result.Text, started), error))
    Log("The result could not be recorded (" + error + ").", lcRed, false);
  FBuffer.reset();
  SetRunning(TServiceTask::stNone);
  return result;
}

// ---- adapter check ----------------------------------------------------------------

bool TServiceTasks::StartAdapterCheck(uint32_t portNumber) {
  if (!MayStartTask()) return false;
  SetRunning(TServiceTask::stAdapterCheck);
  FCheckReport = {};
  FCheckError.clear();
  FCheckPort = portNumber;
  // The port lives and dies on the check's thread: one owner at a time.
  FCheckThread.reset(QThread::create([this, portNumber] {
    TRS232o port;
    if (const TResult opened = OpenServicePort(port, portNumber); !opened) {
      FCheckError = QString::fromStdString(opened.Text());
      return;
    }
    FCheckReport = RunLoopbackTest(port);
  }));
  connect(FCheckThread.get(), &QThread::finished, this, [this] { AdapterCheckEnded(); });
  FCheckThread->start();
  return true;
}

void TServiceTasks::AdapterCheckEnded() {
  FCheckThread->wait();
  SetRunning(TServiceTask::stNone);
  Log("", lcBlack, false);
  if (!FCheckError.isEmpty()) {
    Log("Adapter check: " + LogText(FCheckError.toStdString()), lcRed, false);
  } else {
    const bool good = ServesBX2(FCheckReport) && ServesBX1(FCheckReport);
    Log("Adapter check at COM" + std::to_string(FCheckPort) + ": " + LoopbackVerdict(FCheckReport),
        good ? lcGreen : lcBlack, good);
  }
  emit AdapterChecked(FCheckReport, FCheckError);
}
