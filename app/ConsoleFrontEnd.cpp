#include "app/ConsoleFrontEnd.h"

#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>

#include "app/ConsoleJson.h"
#include "app/ConsoleNames.h"
#include "app/ConsoleUpdate.h"
#include "app/PortListing.h"
#include "app/RecordHistory.h"
#include "app/Startup.h"
#include "app/TraceDecoder.h"
#include "app/UnitWatcher.h"
#include "link/BusDriver.h"
#include "link/Detection.h"
#include "link/DeviceQueries.h"
#include "serial/LoopbackTest.h"
#include "serial/PortMap.h"
#include "serial/RS232o.h"
#include "support/ProgramVersion.h"
#include "support/Progress.h"
#include "support/Sema.h"
#include "support/Textlogger.h"
#include "support/Tools.h"
#include "variables/IdentifierConsole.h"

// The console's modes: a calibration (once or per unit), one named value read or
// written, the interface firmware update, the adapter's loopback self-test, and the
// modes that need no port (help, version, names, history, trace decoding).

namespace {

std::atomic<bool> Interrupted{false};

void OnSignal(int) {
  Interrupted = true;
}

// Every burst on the line, one text line each, while the run lasts.
class TTraceFile {
 public:
  explicit TTraceFile(const std::string& path) : File(std::fopen(path.c_str(), "w")) {}
  ~TTraceFile() {
    SetGlobalSerialTrace({});
    if (File) std::fclose(File);
  }
  TTraceFile(const TTraceFile&) = delete;
  TTraceFile& operator=(const TTraceFile&) = delete;
  bool Valid() const { return File != nullptr; }
  void Install() {
    const auto start = TLineClock::now();
    FILE* file = File;
    SetGlobalSerialTrace([file, start](const TTraceBurst& burst) {
      const double ms = std::chrono::duration<double, std::milli>(burst.When - start).count();
      std::fputs(TraceLineText(ms, burst).c_str(), file);
      std::fflush(file);
    });
  }

 private:
  FILE* File;
};

bool NamedRequestReadable(const TConsoleOptions& options) {
  const bool assignment = !options.SetAssignment.empty();
  if (!assignment && options.GetName.empty()) return true;
  QString reason;
  const std::string& request = assignment ? options.SetAssignment : options.GetName;
  if (::CheckNamedRequest(QString::fromStdString(request), assignment, reason)) return true;
  std::fprintf(stderr, "calibrator-cli: %s\n", reason.toStdString().c_str());
  return false;
}

// Waits for an interface and a device on the port, then runs `job` on the driver.
int RunNamedValue(const TConsoleOptions& options, uint32_t portNumber) {
  auto port = std::make_unique<TRS232o>();
  if (!port->Open(portNumber, 1200, 'N', 1024, 1024)) {
    std::fprintf(stderr, "Error opening port: COM%u\n", portNumber);
    const std::string reason = OpenFailureText(port->LastOpenError());
    if (!reason.empty()) std::fprintf(stderr, "%s\n", reason.c_str());
    return cePortError;
  }
  const double limit = options.TimeoutSeconds > 0 ? options.TimeoutSeconds : 30;
  TDelayChecker deadline(static_cast<int64_t>(limit * 1000));
  TThreadPtr<TBusDriver> driver;
  int32_t version = -1;
  while (!Interrupted && !deadline.Expired()) {
    if (!driver) driver = DetectInterface(port, nullptr, 0, DefaultDetectFlags);
    if (!driver) {
      if (!port) return cePortError;
      Pause(200);
      continue;
    }
    version = ConnectDevice(driver.get());
    if (version != -1) break;
    QCoreApplication::processEvents();
  }
  if (version == -1) {
    std::fprintf(stderr, "No device found on COM%u.\n", portNumber);
    return ceTimeout;
  }
  driver->ControllerType = driver->ClassifyVersion(version);
  QString text;
  TNamedValueFacts facts;
  const bool ok =
      options.GetName.empty()
          ? SetNamedValue(*driver, QString::fromStdString(options.SetAssignment), text,
                          {options.Clamp, options.Exact}, &facts)
          : GetNamedValue(*driver, QString::fromStdString(options.GetName), text, &facts);
  if (options.Json) {
    std::fputs(NamedValueJson(ok, facts, text).c_str(), stdout);
    std::fprintf(stderr, "%s\n", text.toStdString().c_str());
  } else {
    std::fprintf(ok ? stdout : stderr, "%s\n", text.toStdString().c_str());
  }
  return ok ? ceOk : ceDeviceError;
}

int OutcomeStatus(TDeviceOutcome outcome) {
  return outcome == TDeviceOutcome::Ok ? ceOk : ceDeviceError;
}

// The record file to write: --record's, else the default one; none for "--record -",
// and none for the built-in simulation unless --record names a file, so that tries
// without hardware stay out of the station's record.
std::optional<QString> RecordFileOf(const TConsoleOptions& options, bool builtInPort) {
  if (options.RecordFile == "-") return std::nullopt;
  if (!options.RecordFile.empty()) return QString::fromStdString(options.RecordFile);
  if (builtInPort) return std::nullopt;
  return DefaultRecordPath();
}

int RunCycle(const TConsoleOptions& options, uint32_t portNumber, bool colour, bool builtInPort) {
  // With --json standard output carries only the devices' JSON objects.
  TConsoleLog log(options.Json ? stderr : stdout, colour);
  if (options.Json) log.JsonOut = stdout;
  TCalibrationCycle cycle(log);
  std::optional<TCalibrationRecord> record;
  if (const std::optional<QString> file = RecordFileOf(options, builtInPort)) record.emplace(*file);
  cycle.SetRecord(record ? &*record : nullptr);
  // Between units in loop mode: the next cycle starts only once the unit has gone.
  TUnitWatcher watcher(log);
  watcher.OnNextUnit = [&](TThreadPtr<TBusDriver> driver) { cycle.AdoptDriver(std::move(driver)); };
  int status = -1;
  int unitsOk = 0;
  QTimer timeout;
  timeout.setSingleShot(true);
  const int timeoutMs = static_cast<int>(options.TimeoutSeconds * 1000);
  QObject::connect(&timeout, &QTimer::timeout, [&] {
    if (status < 0) status = ceTimeout;
    QCoreApplication::exit(0);
  });
  log.OnDeviceDone = [&] {
    if (log.LastOutcome == TDeviceOutcome::Ok) ++unitsOk;
    if (!options.Loop) {
      status = OutcomeStatus(log.LastOutcome);
      QCoreApplication::exit(0);
      return;
    }
    if (timeoutMs > 0) timeout.start(timeoutMs);
    watcher.Watch(portNumber);  // the driver is released; the port stays with the loop
  };
  QTimer interruptPoll;
  QObject::connect(&interruptPoll, &QTimer::timeout, [&] {
    if (!Interrupted) return;
    if (status < 0) status = unitsOk == log.DevicesDone ? ceOk : ceDeviceError;
    QCoreApplication::exit(0);
  });
  interruptPoll.start(100);

  cycle.Initialise();
  cycle.ChoosePortNumber(portNumber);
  if (log.OpenFailed) return cePortError;
  if (timeoutMs > 0) timeout.start(timeoutMs);
  QCoreApplication::exec();
  watcher.Stop();
  cycle.Shutdown();
  log.EndLine();
  if (options.Loop) std::printf("Units: %d, OK!: %d\n", log.DevicesDone, unitsOk);
  if (status == ceTimeout)
    std::fprintf(stderr, "No device done within %g seconds.\n", options.TimeoutSeconds);
  if (status < 0) status = ceOk;
  return status == ceOk && log.RecordFailed ? ceRecordNotWritten : status;
}

int RunAdapterSelfTest(uint32_t portNumber) {
  TRS232o port;
  if (!port.Open(portNumber, 1200, 'N', 1024, 1024)) {
    std::fprintf(stderr, "%s\n", OpenFailureText(port.LastOpenError()).c_str());
    return cePortError;
  }
  const TLoopbackReport report = RunLoopbackTest(port);
  std::fputs(LoopbackTable(report).c_str(), stdout);
  std::printf("%s\n", LoopbackVerdict(report).c_str());
  return LoopbackExitCode(report);
}

// Probes every number; the port folder's entries count, a run's own ports do not exist yet.
int RunListPorts(bool json) {
  TProgramUnits units;
  const std::vector<TPortDetails> ports = ListPortDetails(MaxPortNumber);
  std::fputs((json ? PortListingJson(ports) : PortListingText(ports)).c_str(), stdout);
  return ceOk;
}

}  // namespace

int RunConsole(const std::vector<std::string>& args) {
  TConsoleOptions options;
  std::string error;
  if (!ParseConsoleArguments(args, options, error)) {
    std::fprintf(stderr, "calibrator-cli: %s\nTry --help.\n", error.c_str());
    return ceUsage;
  }
  if (options.Help) {
    std::fputs(ConsoleUsage().c_str(), stdout);
    return ceOk;
  }
  if (options.Version) {
    std::fputs(VersionText("calibrator-cli").c_str(), stdout);
    return ceOk;
  }
  if (options.ListNames) {
    std::fputs(ListIdentifierNames(options.NamePattern).c_str(), stdout);
    return ceOk;
  }
  if (options.ListPorts) return RunListPorts(options.Json);
  if (options.History) {
    THistoryQuery query{options.HistoryFile, options.Since, options.Port, options.Json};
    return RunHistory(query, stdout, stderr);
  }
  if (!options.DecodeTrace.empty()) return RunDecodeTrace(options.DecodeTrace, stdout, stderr);
  // The names are a fixed table and the number is text: both are refused before
  // any port is opened.
  if (!NamedRequestReadable(options)) return ceUsage;
  TProgramUnits units;
  Interrupted = false;
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  SetDialogHandler(std::make_unique<TConsoleDialogs>(options.Answers, IsTerminal(stdin)));
  InstallConsoleProgress();
  if (options.Verbose) SetLogDestination(std::make_unique<TLogStream>(stderr));
  std::unique_ptr<TTraceFile> trace;
  if (!options.TraceFile.empty()) {
    trace = std::make_unique<TTraceFile>(options.TraceFile);
    if (!trace->Valid()) {
      std::fprintf(stderr, "calibrator-cli: cannot write %s: %s\n", options.TraceFile.c_str(),
                   std::strerror(errno));
      return ceUsage;
    }
    trace->Install();
  }
  std::unique_ptr<TBuiltInPort> builtIn;
  const uint32_t portNumber = ResolveConsolePort(options.Port, builtIn, error);
  if (portNumber == 0) {
    std::fprintf(stderr, "calibrator-cli: %s\n", error.c_str());
    return cePortError;
  }
  const std::string path = PortPath(static_cast<int>(portNumber));
  if (options.Verbose && !path.empty())
    std::fprintf(stderr, "Com %u = %s\n", portNumber, path.c_str());
  const bool colour = options.Colour == TColourMode::Always ||
                      (options.Colour == TColourMode::Auto && IsTerminal(stdout));
  if (options.LoopbackTest) return RunAdapterSelfTest(portNumber);
  if (!options.UpdateFile.empty())
    return RunConsoleUpdate(portNumber, options.UpdateFile, options.UpdateMethod);
  if (!options.GetName.empty() || !options.SetAssignment.empty())
    return RunNamedValue(options, portNumber);
  return RunCycle(options, portNumber, colour, builtIn != nullptr);
}
