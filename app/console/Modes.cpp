#include "app/console/Modes.h"

#include <QCoreApplication>
#include <QTimer>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "app/PortListing.h"
#include "app/PortReturn.h"
#include "app/Startup.h"
#include "app/console/History.h"
#include "app/console/Json.h"
#include "app/console/NamedValueText.h"
#include "app/console/Names.h"
#include "app/console/TraceDecoder.h"
#include "app/console/UnitWatcher.h"
#include "app/console/Update.h"
#include "link/BusDriver.h"
#include "serial/Loopback.h"
#include "serial/PortMap.h"
#include "serial/SerialPort.h"
#include "support/ProgramVersion.h"
#include "support/Progress.h"
#include "support/SafeFiles.h"
#include "support/StopRequest.h"
#include "support/Textlogger.h"
#include "support/Threads.h"
#include "support/Tools.h"
#include "variables/DeviceSession.h"

// The console's modes: a calibration (once or per unit), one named value read or
// written, the interface firmware update, the adapter's loopback self-test, and the
// modes that need no port (help, version, names, history, trace decoding).

namespace {

// Signals ask for a stop for the length of one run; the request is forgotten when the
// run ends (the console also runs in process, in tests).
class TStopScope {
 public:
  TStopScope() {
    ClearStopRequest();
    InstallStopSignals();
  }
  ~TStopScope() {
    StopSettled();
    ClearStopRequest();
  }
  TStopScope(const TStopScope&) = delete;
  TStopScope& operator=(const TStopScope&) = delete;
};

// Every burst on the line, one text line each, while the run lasts.
class TTraceFile {
 public:
  // A FIFO or device is refused at once: opening it could wait for good.
  explicit TTraceFile(const std::string& path)
      : File(OpenRegularFileForWriting(QString::fromStdString(path), Error)) {}
  ~TTraceFile() {
    SetGlobalSerialTrace({});
    if (File) std::fclose(File);
  }
  TTraceFile(const TTraceFile&) = delete;
  TTraceFile& operator=(const TTraceFile&) = delete;
  bool Valid() const { return File != nullptr; }
  const std::string& OpenError() const { return Error; }
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
  std::string Error;
  FILE* File;
};

// A run ended by a signal: 128 + its number, and a word on standard error.
int InterruptedStatus() {
  std::fprintf(stderr, "Interrupted\n");
  return StopExitStatus(StopCause());
}

// A FIFO or device named as the record file is refused before the device is touched;
// the append itself refuses one too (a path that changes while the run lasts).
bool RecordPathWritable(const TConsoleOptions& options) {
  if (options.RecordFile.empty() || options.RecordFile == "-") return true;
  if (!IsSpecialFile(QString::fromStdString(options.RecordFile))) return true;
  std::fprintf(stderr, "calibrator-cli: cannot write %s: not a regular file\n",
               options.RecordFile.c_str());
  return false;
}

bool NamedRequestReadable(const TConsoleOptions& options) {
  const bool assignment = options.Mode == TConsoleMode::Set;
  if (!assignment && options.Mode != TConsoleMode::Get) return true;
  const std::string& text = assignment ? options.SetAssignment : options.GetName;
  TNamedRequest request;
  const TResult read = ParseNamedRequest(QString::fromStdString(text), assignment, request);
  if (read) return true;
  std::fprintf(stderr, "calibrator-cli: %s\n", read.Text().c_str());
  return false;
}

// A port lost while a named value is under way: said once, then opened again once a
// second while --timeout runs; without --timeout the run ends at once. False when
// the run ends (exit 2).
bool FollowLostPort(TDeviceSession& session, TPortReturn& back, uint32_t portNumber, bool wait) {
  if (session.PortLost()) {
    session.Close();
    if (!wait) {
      std::fprintf(stderr, "Com %u lost.\n", portNumber);
      return false;
    }
    std::fprintf(stderr, "%s\n", PortLostText(portNumber).c_str());
    back.Lost(portNumber);
  }
  if (back.Waiting()) {
    std::string blocker;
    if (std::unique_ptr<TRS232o> port = back.TryOpen(blocker)) session.UsePort(std::move(port));
    if (!blocker.empty()) std::fprintf(stderr, "%s\n", blocker.c_str());
  }
  return true;
}

// Waits for an interface and a device on the port: NoDevice when none answered in
// time, PortLost or PortUnavailable when the port ends the wait.
TResult AwaitDevice(TDeviceSession& session, uint32_t portNumber, double limitSeconds, bool wait,
                    TPortReturn& back) {
  TDelayChecker deadline(static_cast<int64_t>(limitSeconds * 1000));
  TResult connected = TResult::Failure(TFault::NoDevice);
  while (!StopRequested() && !deadline.Expired()) {
    if (!FollowLostPort(session, back, portNumber, wait)) return TResult::Failure(TFault::PortLost);
    if (!session.Port() && !session.Driver()) {  // away
      Pause(200);
      continue;
    }
    if (!session.Driver() && !session.Detect()) {
      if (!session.Port()) return TResult::Failure(TFault::PortLost);
      Pause(200);
      continue;
    }
    connected = session.ConnectDevice();
    if (connected || connected.Fault() == TFault::PortUnavailable) return connected;
    QCoreApplication::processEvents();
  }
  return TResult::Failure(TFault::NoDevice);
}

// Waits for an interface and a device on the port, then reads or writes the value.
int RunNamedValue(const TConsoleOptions& options, uint32_t portNumber) {
  TDeviceSession session;
  if (const TResult opened = session.Open(portNumber); !opened) {
    std::fprintf(stderr, "%s\n", opened.Text().c_str());
    return ExitFor(opened.Fault());
  }
  const double limit = options.TimeoutSeconds > 0 ? options.TimeoutSeconds : 30;
  TPortReturn back;
  const TResult connected =
      AwaitDevice(session, portNumber, limit, options.TimeoutSeconds > 0, back);
  if (connected.Fault() == TFault::PortUnavailable)  // the driver's refusal
    std::fprintf(stderr, "%s\n", connected.Text().c_str());
  if (connected.Fault() == TFault::PortLost || connected.Fault() == TFault::PortUnavailable)
    return ExitFor(connected.Fault());
  if (!connected && StopExitStatus(StopCause()) != 0) return InterruptedStatus();
  if (back.Waiting()) {
    std::fprintf(stderr, "Com %u did not come back within %g seconds.\n", portNumber, limit);
    return ExitFor(TFault::PortLost);
  }
  if (!connected) {
    std::fprintf(stderr, "No device found on COM%u.\n", portNumber);
    return ExitFor(TFault::NoDevice);
  }
  TBusDriver& driver = *session.Driver();
  QString text;
  TNamedValue facts;
  const TResult result =
      options.Mode == TConsoleMode::Set
          ? SetNamedValue(driver, QString::fromStdString(options.SetAssignment),
                          {options.Clamp, options.Exact}, text, facts)
          : GetNamedValue(driver, QString::fromStdString(options.GetName), text, facts);
  const bool ok = result.Ok();
  if (options.Json) {
    std::fputs(NamedValueJson(ok, facts, text).c_str(), stdout);
    std::fprintf(stderr, "%s\n", text.toStdString().c_str());
  } else {
    std::fprintf(ok ? stdout : stderr, "%s\n", text.toStdString().c_str());
  }
  if (!ok && session.PortLost()) {
    std::fprintf(stderr, "Com %u lost.\n", portNumber);
    return ExitFor(TFault::PortLost);
  }
  return ExitFor(result.Fault());
}

int OutcomeStatus(TDeviceOutcome outcome) {
  // A signal that came before the result ends the run with its own status, even when
  // the device could still be finished.
  if (outcome == TDeviceOutcome::Interrupted || StopExitStatus(StopCause()) != 0) return -1;
  return outcome == TDeviceOutcome::Ok ? ceOk : ceDeviceError;
}

// A run that ended before a device had its result: by a signal or the time limit.
int StoppedStatus(const TConsoleOptions& options) {
  if (StopExitStatus(StopCause()) != 0) return InterruptedStatus();
  std::fprintf(stderr, "No device done within %g seconds.\n", options.TimeoutSeconds);
  return ceTimeout;
}

// The loop ends by a stop. It succeeded only when units were done and every one of
// them ended with "OK!"; a unit cut short by a signal, or none at all, is the
// signal's status.
int LoopStatus(const TConsoleLog& log, int unitsOk) {
  std::printf("Units: %d, OK!: %d\n", log.DevicesDone, unitsOk);
  std::fflush(stdout);
  const bool bySignal = StopExitStatus(StopCause()) != 0;
  if (bySignal && (log.DevicesDone == 0 || log.UnitInterrupted)) return InterruptedStatus();
  if (log.DevicesDone == 0) {
    std::fprintf(stderr, "No device done.\n");
    return ceTimeout;
  }
  if (log.RecordFailed && unitsOk == log.DevicesDone) return ceRecordNotWritten;
  return unitsOk == log.DevicesDone && !log.UnitInterrupted ? ceOk : ceDeviceError;
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
  log.Verbose = options.Verbose;
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
  // The time limit is a stop request, so that it holds inside a device's handling too.
  const int64_t timeoutMs = static_cast<int64_t>(options.TimeoutSeconds * 1000);
  log.OnDeviceDone = [&] {
    if (log.LastOutcome == TDeviceOutcome::Ok) ++unitsOk;
    if (!options.Loop || log.LastOutcome == TDeviceOutcome::Interrupted) {
      if (!options.Loop) status = OutcomeStatus(log.LastOutcome);
      QCoreApplication::exit(0);
      return;
    }
    SetStopTimeLimit(timeoutMs);
    watcher.Watch(portNumber);  // the driver is released; the port stays with the loop
  };
  QTimer stopPoll;
  QObject::connect(&stopPoll, &QTimer::timeout, [] {
    if (StopRequested()) QCoreApplication::exit(0);
  });
  stopPoll.start(100);

  log.AddLog(ConsoleOpeningLine(portNumber, PortPath(static_cast<int>(portNumber))), true, lcBlack,
             TLogStyle::Regular, false);
  cycle.Initialise();
  SetStopTimeLimit(timeoutMs);
  cycle.ChoosePortNumber(portNumber);
  if (log.OpenFailed) return cePortError;
  QCoreApplication::exec();
  watcher.Stop();
  cycle.Shutdown();
  log.EndLine();
  if (options.Loop) return LoopStatus(log, unitsOk);
  if (status < 0) status = StoppedStatus(options);
  return status == ceOk && log.RecordFailed ? ceRecordNotWritten : status;
}

int RunAdapterSelfTest(uint32_t portNumber) {
  TRS232o port;
  if (const TResult opened = OpenServicePort(port, portNumber); !opened) {
    std::fprintf(stderr, "%s\n", OpenFailureText(port.LastOpenError()).c_str());
    return ExitFor(opened.Fault());
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

// The modes that need no port: they run before anything is set up for one.
int RunWithoutPort(const TConsoleOptions& options) {
  switch (options.Mode) {
    case TConsoleMode::Help:
      std::fputs(ConsoleUsage().c_str(), stdout);
      return ceOk;
    case TConsoleMode::Version:
      std::fputs(VersionText("calibrator-cli").c_str(), stdout);
      return ceOk;
    case TConsoleMode::ListNames:
      std::fputs(ListIdentifierNames(options.NamePattern).c_str(), stdout);
      return ceOk;
    case TConsoleMode::History:
      return RunHistory({options.HistoryFile, options.Since, options.Port, options.Json}, stdout,
                        stderr);
    case TConsoleMode::DecodeTrace:
      return RunDecodeTrace(options.DecodeTrace, stdout, stderr);
    case TConsoleMode::ListPorts:
      return RunListPorts(options.Json);
    default:
      return -1;
  }
}

int RunOnPort(const TConsoleOptions& options, uint32_t portNumber, bool builtInPort) {
  switch (options.Mode) {
    case TConsoleMode::LoopbackTest:
      return RunAdapterSelfTest(portNumber);
    case TConsoleMode::Update:
      return RunConsoleUpdate(portNumber, options.UpdateFile, options.UpdateMethod);
    case TConsoleMode::Get:
    case TConsoleMode::Set:
      return RunNamedValue(options, portNumber);
    default: {
      const bool colour = ColourWanted(options.Colour, IsTerminal(stdout), std::getenv("NO_COLOR"),
                                       std::getenv("TERM"));
      return RunCycle(options, portNumber, colour, builtInPort);
    }
  }
}

}  // namespace

int RunConsole(const std::vector<std::string>& args) {
  TConsoleOptions options;
  std::string error;
  if (!ParseConsoleArguments(args, options, error)) {
    std::fprintf(stderr, "calibrator-cli: %s\nTry --help.\n", error.c_str());
    return ceUsage;
  }
  const int withoutPort = RunWithoutPort(options);
  if (withoutPort >= 0) return withoutPort;
  // The names are a fixed table and the number is text: both are refused before
  // any port is opened.
  if (!NamedRequestReadable(options)) return ceUsage;
  TProgramUnits units;
  TStopScope stopScope;
  SetDialogHandler(std::make_unique<TConsoleDialogs>(options.Answers, IsTerminal(stdin)));
  InstallConsoleProgress();
  if (options.Verbose) SetLogDestination(std::make_unique<TLogStream>(stderr));
  if (!RecordPathWritable(options)) return ceUsage;
  std::unique_ptr<TTraceFile> trace;
  if (!options.TraceFile.empty()) {
    trace = std::make_unique<TTraceFile>(options.TraceFile);
    if (!trace->Valid()) {
      std::fprintf(stderr, "calibrator-cli: cannot write %s: %s\n", options.TraceFile.c_str(),
                   trace->OpenError().c_str());
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
  return RunOnPort(options, portNumber, builtIn != nullptr);
}
