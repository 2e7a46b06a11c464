#include "app/ConsoleFrontEnd.h"

#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstring>
#include <iostream>

#include "app/ConsoleUpdate.h"
#include "app/Startup.h"
#include "link/BX2Driver.h"
#include "link/BusDriver.h"
#include "link/Detection.h"
#include "link/DeviceQueries.h"
#include "serial/PortMap.h"
#include "serial/RS232o.h"
#include "sim/Simulator.h"
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
         "       calibrator-cli --port PORT --get NAME\n"
         "       calibrator-cli --port PORT --set NAME=VALUE\n"
         "       calibrator-cli --port PORT --update FILE [--method N] [--yes | --no]\n"
         "\n"
         "Finds the BX2 or BX1 interface on PORT, brings the BX2's firmware up to date when\n"
         "needed, reads the device's firmware version and applies the calibration correction.\n"
         "\n"
         "  --port PORT      a COM number (3, COM3), a device path (/dev/ttyUSB0), or 'sim'\n"
         "                   for the built-in simulated interface and device\n"
         "  --timeout S      give up after S seconds without a device done (exit status 3)\n"
         "  --yes, --no      answer every question Yes/OK or No/Cancel; without either the\n"
         "                   questions are asked on the terminal (No/Cancel without one)\n"
         "  --loop           go on with the next device until interrupted\n"
         "  --verbose        diagnostic lines on standard error\n"
         "  --trace FILE     every byte sent and received, with time, direction and baud\n"
         "  --color MODE     colours in the log: auto (when a terminal), always, never\n"
         "  --get NAME       print one device value by its identifier name\n"
         "  --set NAME=VALUE write one device value by its identifier name, verified\n"
         "  --update FILE    program the device's firmware from a firmware file, carrying\n"
         "                   its calibration over (exit status 3: no boot loader answered)\n"
         "  --method N       boot loader connection method 0..6 when the file names none (6)\n"
         "\n"
         "Exit status: 0 OK!, 1 device error, 2 port not opened, 3 time-out, 4 bad usage.\n";
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
    if (arg == "--verbose") {
      options.Verbose = true;
      continue;
    }
    bool matched = false;
    std::string value;
    for (const char* name :
         {"--port", "--timeout", "--trace", "--color", "--get", "--set", "--update", "--method"}) {
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
      error = "unknown argument: " + arg;
      return false;
    }
  }
  if (options.Help) return true;
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

uint32_t ResolveConsolePort(const std::string& port, std::unique_ptr<TSimulation>& simulation,
                            std::string& error) {
  if (Lower(port) == "sim") {
    TSimOptions options;
    options.DeviceVersion = 2606207;
    options.CalibrationSource = 1003;
    simulation = std::make_unique<TSimulation>(options);
    const int number = simulation->RegisterAsPort();
    if (number <= 0) error = "no free port number for the simulation";
    return number > 0 ? static_cast<uint32_t>(number) : 0;
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
      std::string hex;
      static const char digits[] = "0123456789ABCDEF";
      for (uint8_t b : burst.Bytes) {
        if (!hex.empty()) hex += ' ';
        hex += digits[b >> 4];
        hex += digits[b & 15];
      }
      std::fprintf(file, "%10.3f %s %6d %c %s%s\n", ms, burst.Sent ? "TX" : "RX", burst.Baud,
                   burst.Parity ? burst.Parity : 'N', hex.c_str(),
                   burst.Errors ? (" errors=" + std::to_string(burst.Errors)).c_str() : "");
      std::fflush(file);
    });
  }

 private:
  FILE* File;
};

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
    auto* bx2 = dynamic_cast<TBX2Driver*>(driver.get());
    if (bx2 && bx2->LinkState == lsKMBus) SelectDeviceAddress(driver.get());
    version = QueryVersion(driver.get());
    if (version != -1) break;
    QCoreApplication::processEvents();
  }
  if (version == -1) {
    std::fprintf(stderr, "No device found on COM%u.\n", portNumber);
    return ceTimeout;
  }
  driver->ControllerType = driver->ClassifyVersion(version);
  QString text;
  const bool ok = options.GetName.empty()
                      ? SetNamedValue(*driver, QString::fromStdString(options.SetAssignment), text)
                      : GetNamedValue(*driver, QString::fromStdString(options.GetName), text);
  std::fprintf(ok ? stdout : stderr, "%s\n", text.toStdString().c_str());
  return ok ? ceOk : ceDeviceError;
}

int OutcomeStatus(TDeviceOutcome outcome) {
  return outcome == TDeviceOutcome::Ok ? ceOk : ceDeviceError;
}

int RunCycle(const TConsoleOptions& options, uint32_t portNumber, bool colour) {
  TConsoleLog log(stdout, colour);
  TCalibrationCycle cycle(log);
  int status = -1;
  bool anyFailed = false;
  QTimer timeout;
  timeout.setSingleShot(true);
  const int timeoutMs = static_cast<int>(options.TimeoutSeconds * 1000);
  QObject::connect(&timeout, &QTimer::timeout, [&] {
    if (status < 0) status = ceTimeout;
    QCoreApplication::exit(0);
  });
  log.OnDeviceDone = [&] {
    anyFailed |= log.LastOutcome != TDeviceOutcome::Ok;
    if (!options.Loop) {
      status = OutcomeStatus(log.LastOutcome);
      QCoreApplication::exit(0);
      return;
    }
    if (timeoutMs > 0) timeout.start(timeoutMs);
    cycle.ChoosePortNumber(portNumber);  // next device on the same port
  };
  QTimer interruptPoll;
  QObject::connect(&interruptPoll, &QTimer::timeout, [&] {
    if (!Interrupted) return;
    if (status < 0) status = anyFailed ? ceDeviceError : ceOk;
    QCoreApplication::exit(0);
  });
  interruptPoll.start(100);

  cycle.Initialise();
  cycle.ChoosePortNumber(portNumber);
  if (log.OpenFailed) return cePortError;
  if (timeoutMs > 0) timeout.start(timeoutMs);
  QCoreApplication::exec();
  cycle.Shutdown();
  log.EndLine();
  if (status == ceTimeout)
    std::fprintf(stderr, "No device done within %g seconds.\n", options.TimeoutSeconds);
  return status < 0 ? ceOk : status;
}

}  // namespace

int RunConsole(const std::vector<std::string>& args) {
  TConsoleOptions options;
  std::string error;
  if (!ParseConsoleArguments(args, options, error)) {
    std::fprintf(stderr, "calibrator-cli: %s\n\n%s", error.c_str(), ConsoleUsage().c_str());
    return ceUsage;
  }
  if (options.Help) {
    std::fputs(ConsoleUsage().c_str(), stdout);
    return ceOk;
  }
  TProgramUnits units;
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
  std::unique_ptr<TSimulation> simulation;
  const uint32_t portNumber = ResolveConsolePort(options.Port, simulation, error);
  if (portNumber == 0) {
    std::fprintf(stderr, "calibrator-cli: %s\n", error.c_str());
    return cePortError;
  }
  const std::string path = PortPath(static_cast<int>(portNumber));
  if (!path.empty()) std::fprintf(stderr, "Com %u = %s\n", portNumber, path.c_str());
  const bool colour = options.Colour == TColourMode::Always ||
                      (options.Colour == TColourMode::Auto && IsTerminal(stdout));
  if (!options.UpdateFile.empty())
    return RunConsoleUpdate(portNumber, options.UpdateFile, options.UpdateMethod);
  if (!options.GetName.empty() || !options.SetAssignment.empty())
    return RunNamedValue(options, portNumber);
  return RunCycle(options, portNumber, colour);
}
