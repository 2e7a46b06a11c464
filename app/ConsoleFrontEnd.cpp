#include "app/ConsoleFrontEnd.h"

#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstring>
#include <iostream>
#include <utility>

#include "app/ConsoleJson.h"
#include "app/ConsoleNames.h"
#include "app/ConsoleUpdate.h"
#include "app/RecordHistory.h"
#include "app/Startup.h"
#include "app/TraceDecoder.h"
#include "app/UnitWatcher.h"
#include "link/BX2Driver.h"
#include "link/BusDriver.h"
#include "link/Detection.h"
#include "link/DeviceQueries.h"
#include "serial/LoopbackTest.h"
#include "serial/PlatformPorts.h"
#include "serial/PortMap.h"
#include "serial/RS232o.h"
#include "support/ProgramVersion.h"
#include "support/Progress.h"
#include "support/Textlogger.h"
#include "support/Tools.h"
#include "variables/IdentifierConsole.h"

namespace {

std::atomic<bool> Interrupted{false};

void OnSignal(int) {
  Interrupted = true;
}

std::string Lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool ParseTimeout(const std::string& text, double& seconds) {
  char* end = nullptr;
  seconds = std::strtod(text.c_str(), &end);
  return !text.empty() && end && *end == 0 && seconds > 0 && seconds < 1e7;
}

// Reads the value of an option given as "--name VALUE" or "--name=VALUE".
bool TakeValue(const std::vector<std::string>& args, size_t& i, const std::string& name,
               std::string& value, bool& matched) {
  const std::string& arg = args[i];
  matched = false;
  if (arg == name) {
    matched = true;
    if (i + 1 >= args.size()) return false;
    value = args[++i];
    return true;
  }
  if (arg.rfind(name + "=", 0) == 0) {
    matched = true;
    value = arg.substr(name.size() + 1);
    return true;
  }
  return true;
}

const char* AnsiFor(uint32_t colour, TLogStyle style) {
  const bool bold = style == TLogStyle::Bold;
  if (colour == lcRed) return bold ? "\x1b[1;31m" : "\x1b[31m";
  if (colour == lcGreen) return bold ? "\x1b[1;32m" : "\x1b[32m";
  return bold ? "\x1b[1m" : "";
}

// Log texts carry CR LF (the instructions); a terminal wants LF.
std::string ToLines(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') continue;
      out += '\n';
      continue;
    }
    out += text[i];
  }
  return out;
}

}  // namespace

// ---- arguments ------------------------------------------------------------------

std::string ConsoleUsage() {
  return "Usage: calibrator-cli --port PORT [--timeout SECONDS] [--yes | --no] [--loop]\n"
         "                      [--verbose] [--trace FILE] [--color auto|always|never]\n"
         "       calibrator-cli --port PORT --get NAME [--json]\n"
         "       calibrator-cli --port PORT --set NAME=VALUE [--clamp] [--exact] [--json]\n"
         "       calibrator-cli --list-names [PATTERN]\n"
         "       calibrator-cli --history [FILE] [--since DATE] [--port PORT] [--json]\n"
         "       calibrator-cli --decode-trace FILE\n"
         "       calibrator-cli --port PORT --update FILE [--method N] [--yes | --no]\n"
         "       calibrator-cli --port PORT --loopback-test\n"
         "       calibrator-cli --help | --version\n"
         "\n"
         "Finds the BX2 or BX1 interface on PORT, brings the BX2's firmware up to date when\n"
         "needed, reads the device's firmware version and applies the calibration correction.\n"
         "\n"
         "  --port PORT      " + PortArgumentForms() + ", or 'sim'\n"
         "                   for the built-in simulated interface and device\n"
         "  --timeout S      give up after S seconds without a device done (exit status 3)\n"
         "  --yes, --no      answer every question Yes/OK or No/Cancel; without either the\n"
         "                   questions are asked on the terminal (No/Cancel without one)\n"
         "  --loop           one calibration per unit, until interrupted: after a unit the\n"
         "                   port is watched without writing; the next unit is one that\n"
         "                   answers after the last has not answered for 1.5 s\n"
         "  --verbose        diagnostic lines on standard error\n"
         "  --trace FILE     every byte sent and received, with time, direction and baud\n"
         "  --color MODE     colours in the log: auto (when a terminal), always, never\n"
         "  --get NAME       print one device value by its identifier name\n"
         "  --set NAME=VALUE write one device value by its identifier name, verified; a value\n"
         "                   outside the device's limits is refused, one between two steps\n"
         "                   is stored at the nearest step\n"
         "  --clamp          --set: store the nearest limit instead of refusing\n"
         "  --json           --get, --set: one JSON object on standard output (ok, message,\n"
         "                   name, value, raw, scale, minimum, maximum), the line on stderr;\n"
         "                   a calibration: one object per device (its calibration record:\n"
         "                   result, versions, words), the log on stderr\n"
         "  --exact          --set: refuse a value between two steps instead of rounding\n"
         "  --list-names [PATTERN]  the identifier names (variable, flag or setting), all\n"
         "                   or those containing PATTERN (or matching it, with * and ?)\n"
         "  --version        the program version and the interface image's version\n"
         "  --record FILE    append each device's calibration record to FILE instead of\n"
         "                   the default file; '--record -' writes none\n"
         "  --history [FILE] the calibration records as a table (default: the default file),\n"
         "                   --since DATE (2024-05-31 or a time), --port PORT filter them,\n"
         "                   --json passes the records through\n"
         "  --decode-trace FILE  a --trace file frame by frame, in words\n"
         "  --loopback-test  check the adapter with a loopback plug (pins 2 and 3 wired)\n"
         "  --update FILE    program the device's firmware from a firmware file, carrying\n"
         "                   its calibration over (exit status 3: no boot loader answered)\n"
         "  --method N       boot loader connection method 0..6 when the file names none (6)\n"
         "\n"
         "Exit status, the same in every mode (calibration, --loop, --get, --set, --update,\n"
         "--history):\n"
         "  0  done\n"
         "  1  the device refused or failed\n"
         "  2  the port could not be opened\n"
         "  3  time-out\n"
         "  4  bad usage (unknown option or name, unreadable number or file)\n"
         "  5  done, but the calibration record not written\n"
         "--loopback-test: 0 the adapter serves both BX2 and BX1, 1 only the BX2,\n"
         "  3 neither (or no loopback plug), 2 the port could not be opened, 4 bad usage.\n"
         "With --loop, after Ctrl-C: 0 when every unit ended with OK!, else 1.\n";
}

bool ParseConsoleArguments(const std::vector<std::string>& args, TConsoleOptions& options,
                           std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.Help = true;
      continue;
    }
    if (arg == "--yes" || arg == "--no") {
      const TAnswerMode mode = arg == "--yes" ? TAnswerMode::Yes : TAnswerMode::No;
      if (options.Answers != TAnswerMode::Ask && options.Answers != mode) {
        error = "--yes and --no exclude each other";
        return false;
      }
      options.Answers = mode;
      continue;
    }
    if (arg == "--loop") {
      options.Loop = true;
      continue;
    }
    if (arg == "--version") {
      options.Version = true;
      continue;
    }
    if (arg == "--list-names" || arg.rfind("--list-names=", 0) == 0) {
      options.ListNames = true;
      if (arg.size() > 12) {
        options.NamePattern = arg.substr(13);
      } else if (i + 1 < args.size() && args[i + 1].rfind("-", 0) != 0) {
        options.NamePattern = args[++i];
      }
      continue;
    }
    if (arg == "--json") {
      options.Json = true;
      continue;
    }
    if (arg == "--clamp" || arg == "--exact") {
      (arg == "--clamp" ? options.Clamp : options.Exact) = true;
      continue;
    }
    if (arg == "--verbose") {
      options.Verbose = true;
      continue;
    }
    if (arg == "--history") {
      // The file is optional: the next argument when it is not an option.
      options.History = true;
      if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) options.HistoryFile = args[++i];
      continue;
    }
    // The string table's diagnostic switch: read by the table itself when it starts.
    if (Lower(arg) == "|usestringcomments") continue;
    if (arg == "--loopback-test") {
      options.LoopbackTest = true;
      continue;
    }
    bool matched = false;
    std::string value;
    for (const char* name : {"--port", "--timeout", "--trace", "--color", "--get", "--set",
                             "--record", "--since", "--decode-trace", "--update", "--method"}) {
      if (!TakeValue(args, i, name, value, matched)) {
        error = std::string(name) + " needs a value";
        return false;
      }
      if (!matched) continue;
      const std::string option = name;
      if (option == "--port") {
        options.Port = value;
      } else if (option == "--timeout") {
        if (!ParseTimeout(value, options.TimeoutSeconds)) {
          error = "--timeout needs a positive number of seconds";
          return false;
        }
      } else if (option == "--trace") {
        options.TraceFile = value;
      } else if (option == "--color") {
        if (value == "auto")
          options.Colour = TColourMode::Auto;
        else if (value == "always")
          options.Colour = TColourMode::Always;
        else if (value == "never")
          options.Colour = TColourMode::Never;
        else {
          error = "--color takes auto, always or never";
          return false;
        }
      } else if (option == "--record") {
        options.RecordFile = value;
      } else if (option == "--since") {
        options.Since = value;
      } else if (option == "--decode-trace") {
        options.DecodeTrace = value;
      } else if (option == "--get") {
        options.GetName = value;
      } else if (option == "--update") {
        options.UpdateFile = value;
      } else if (option == "--method") {
        if (value.size() != 1 || value[0] < '0' || value[0] > '6') {
          error = "--method takes 0..6";
          return false;
        }
        options.UpdateMethod = value[0] - '0';
      } else {
        options.SetAssignment = value;
      }
      break;
    }
    if (!matched) {
      error = (arg.rfind("-", 0) == 0 ? "unknown option: " : "unexpected argument: ") + arg;
      return false;
    }
  }
  if (options.Help || options.Version || options.ListNames || options.History ||
      !options.DecodeTrace.empty())
    return true;
  if (options.Port.empty()) {
    error = "--port is required";
    return false;
  }
  if (!options.GetName.empty() && !options.SetAssignment.empty()) {
    error = "--get and --set exclude each other";
    return false;
  }
  if (!options.UpdateFile.empty() &&
      (options.Loop || !options.GetName.empty() || !options.SetAssignment.empty())) {
    error = "--update excludes --loop, --get and --set";
    return false;
  }
  if (!options.SetAssignment.empty() && options.SetAssignment.find('=') == std::string::npos) {
    error = "--set needs NAME=VALUE";
    return false;
  }
  return true;
}

namespace {
TBuiltInPortMaker SimPortMaker;
}  // namespace

TBuiltInPortMaker SetSimPortMaker(TBuiltInPortMaker maker) {
  TBuiltInPortMaker previous = std::move(SimPortMaker);
  SimPortMaker = std::move(maker);
  return previous;
}

uint32_t ResolveConsolePort(const std::string& port, std::unique_ptr<TBuiltInPort>& builtIn,
                            std::string& error) {
  if (Lower(port) == "sim") {
    if (!SimPortMaker) {
      error = "this program has no built-in simulation";
      return 0;
    }
    builtIn = SimPortMaker(error);
    return builtIn ? builtIn->PortNumber() : 0;
  }
  if (port.find('/') != std::string::npos) {
    const int number = AssignFreePortNumber(port);
    if (number <= 0) error = "no free port number for " + port;
    return number > 0 ? static_cast<uint32_t>(number) : 0;
  }
  std::string digits = port;
  if (Lower(digits).rfind("com", 0) == 0) digits = digits.substr(3);
  char* end = nullptr;
  const long number = std::strtol(digits.c_str(), &end, 10);
  if (digits.empty() || !end || *end != 0 || number < 1 || number > MaxPortNumber) {
    error = "not a port: " + port + " (give a COM number 1..256, a device path, or sim)";
    return 0;
  }
  return static_cast<uint32_t>(number);
}

// ---- the log --------------------------------------------------------------------

TConsoleLog::~TConsoleLog() {
  EndLine();
}

void TConsoleLog::EndLine() {
  if (!LineOpen) return;
  std::fputc('\n', Out);
  std::fflush(Out);
  LineOpen = false;
}

void TConsoleLog::AddLog(const std::string& text, bool newLine, uint32_t colour, TLogStyle style,
                         bool /*bullets*/) {
  if (newLine) EndLine();
  const char* ansi = Colour ? AnsiFor(colour, style) : "";
  const std::string lines = ToLines(text);
  if (*ansi) std::fputs(ansi, Out);
  std::fputs(lines.c_str(), Out);
  if (*ansi) std::fputs("\x1b[0m", Out);
  std::fflush(Out);
  LineOpen = true;
}

void TConsoleLog::DeviceDone(TDeviceOutcome outcome) {
  EndLine();
  ++DevicesDone;
  LastOutcome = outcome;
  if (OnDeviceDone) OnDeviceDone();
}

void TConsoleLog::RecordNotWritten(const std::string& path, const std::string& reason) {
  EndLine();
  std::fprintf(stderr, "calibrator-cli: device done, record not written to %s: %s\n", path.c_str(),
               reason.c_str());
  RecordFailed = true;
}

void TConsoleLog::DeviceFactsKnown(const TDeviceFacts& facts) {
  if (!JsonOut) return;
  std::fputs(RecordLine(facts).c_str(), JsonOut);
  std::fflush(JsonOut);
}

void TConsoleLog::PortOpenFailed(uint32_t /*portNumber*/, const std::string& /*reason*/) {
  EndLine();
  OpenFailed = true;
}

// ---- dialogs ----------------------------------------------------------------------

int AutomaticAnswer(uint16_t buttons, bool yes) {
  if (yes) {
    if (buttons & dbYes) return drYes;
    if (buttons & dbOK) return drOK;
    return (buttons & dbNo) ? drNo : drCancel;
  }
  if (buttons & dbCancel) return drCancel;
  if (buttons & dbNo) return drNo;
  return drOK;
}

void TConsoleDialogs::PlainMessage(const std::string& caption, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), ToLines(text).c_str());
}

int TConsoleDialogs::MessageDialog(const std::string& text, TMessageKind /*kind*/, uint16_t buttons,
                                   int32_t /*helpContext*/) {
  std::fprintf(stderr, "\n%s\n", ToLines(text).c_str());
  if (Mode != TAnswerMode::Ask || !Interactive) {
    const int answer = AutomaticAnswer(buttons, Mode == TAnswerMode::Yes);
    std::fprintf(stderr, "-> %s\n",
                 answer == drYes  ? "Yes"
                 : answer == drNo ? "No"
                 : answer == drOK ? "OK"
                                  : "Cancel");
    return answer;
  }
  return Ask(text, buttons);
}

int TConsoleDialogs::Ask(const std::string& /*text*/, uint16_t buttons) {
  struct TChoice {
    uint16_t Button;
    const char* Key;
    const char* Word;
    int Result;
  };
  static const TChoice choices[] = {{dbYes, "y", "Yes", drYes},
                                    {dbNo, "n", "No", drNo},
                                    {dbOK, "o", "OK", drOK},
                                    {dbCancel, "c", "Cancel", drCancel}};
  for (;;) {
    std::string prompt;
    for (const auto& c : choices)
      if (buttons & c.Button)
        prompt += std::string(prompt.empty() ? "" : "/") + c.Word + "(" + c.Key + ")";
    std::fprintf(stderr, "%s? ", prompt.c_str());
    std::fflush(stderr);
    std::string line;
    if (!std::getline(std::cin, line)) return AutomaticAnswer(buttons, false);
    line = Lower(line);
    for (const auto& c : choices)
      if ((buttons & c.Button) && (line == c.Key || line == Lower(c.Word))) return c.Result;
  }
}

int TConsoleDialogs::FileDialog(bool, const std::string&, const std::string&, const std::string&,
                                std::string&) {
  return drCancel;
}

int TConsoleDialogs::InputQuery(const std::string& caption, const std::string& prompt,
                                std::string& value) {
  if (Mode != TAnswerMode::Ask || !Interactive) return Mode == TAnswerMode::Yes ? drOK : drCancel;
  std::fprintf(stderr, "%s\n%s [%s]: ", caption.c_str(), prompt.c_str(), value.c_str());
  std::fflush(stderr);
  std::string line;
  if (!std::getline(std::cin, line)) return drCancel;
  if (!line.empty()) value = line;
  return drOK;
}

// ---- the run ----------------------------------------------------------------------

namespace {

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

int RunCycle(const TConsoleOptions& options, uint32_t portNumber, bool colour) {
  // With --json standard output carries only the devices' JSON objects.
  TConsoleLog log(options.Json ? stderr : stdout, colour);
  if (options.Json) log.JsonOut = stdout;
  TCalibrationCycle cycle(log);
  std::optional<TCalibrationRecord> record;
  if (options.RecordFile != "-")
    record.emplace(options.RecordFile.empty() ? DefaultRecordPath()
                                              : QString::fromStdString(options.RecordFile));
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
  return RunCycle(options, portNumber, colour);
}
