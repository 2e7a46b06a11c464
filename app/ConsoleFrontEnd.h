#pragma once
// The calibration job on a terminal (calibrator-cli): the same cycle as the window,
// its log printed line by line, questions asked on the terminal or answered by a
// flag, and an exit status a script can act on.

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CalibrationCycle.h"
#include "support/Dialogs.h"

// Exit statuses: one contract for every mode of the console.
enum TConsoleExit : int {
  ceOk = 0,                // done ("OK!", a value read or written)
  ceDeviceError = 1,       // the device refused or failed
  cePortError = 2,         // the port could not be opened
  ceTimeout = 3,           // --timeout passed without a device done
  ceUsage = 4,             // bad usage: unknown option or name, unreadable number or file
  ceRecordNotWritten = 5,  // done, but the calibration record could not be written
};

enum class TColourMode { Auto, Always, Never };
enum class TAnswerMode { Ask, Yes, No };

struct TConsoleOptions {
  std::string Port;
  double TimeoutSeconds = 0;  // 0 = no limit
  TAnswerMode Answers = TAnswerMode::Ask;
  bool Loop = false;
  bool Verbose = false;
  std::string TraceFile;
  TColourMode Colour = TColourMode::Auto;
  std::string GetName;        // --get NAME
  std::string SetAssignment;  // --set NAME=VALUE
  std::string RecordFile;     // --record FILE; empty: the default file; "-": none
  bool History = false;       // --history [FILE]
  std::string HistoryFile;
  std::string Since;          // --since DATE
  std::string DecodeTrace;    // --decode-trace FILE
  bool LoopbackTest = false;  // --loopback-test
  bool Clamp = false;         // --set: store the nearest limit instead of refusing
  bool Exact = false;         // --set: refuse a value between two steps instead of rounding
  std::string UpdateFile;     // --update FILE
  int UpdateMethod = 6;       // --method N: the connection method unless the file names one
  bool Help = false;
  bool Version = false;
  bool Json = false;       // --get/--set: one JSON object on standard output; --history: records
  bool ListNames = false;  // --list-names [PATTERN]
  std::string NamePattern;
};

// Parses the arguments (without the program name). False with *error on bad usage.
bool ParseConsoleArguments(const std::vector<std::string>& args, TConsoleOptions& options,
                           std::string& error);
std::string ConsoleUsage();

// A port the console program serves itself for the run ("--port sim": the simulated
// interface and device). The core and the window carry no simulator: the console
// program installs the maker (app/cli/SimPort.h) before RunConsole.
class TBuiltInPort {
 public:
  virtual ~TBuiltInPort() = default;
  virtual uint32_t PortNumber() const = 0;
};
// Makes the built-in port, or none with *error.
using TBuiltInPortMaker = std::function<std::unique_ptr<TBuiltInPort>(std::string& error)>;
// Installs the maker of "sim" (an empty one removes it); returns the previous one.
TBuiltInPortMaker SetSimPortMaker(TBuiltInPortMaker maker);

// What a port argument names: a COM number ("3", "COM3", "com3"), a device path
// (anything with a '/'), or "sim". Returns the port number to open, 0 when it cannot
// be resolved (with *error). For "sim" the built-in port is made into `builtIn`.
uint32_t ResolveConsolePort(const std::string& port, std::unique_ptr<TBuiltInPort>& builtIn,
                            std::string& error);

// Writes the cycle's log to a stream: each new line starts on a line of its own,
// appended texts (the "* " marks) stay on the current line, colours as ANSI codes
// when asked for.
class TConsoleLog : public TCycleView {
 public:
  TConsoleLog(FILE* out, bool colour) : Out(out), Colour(colour) {}
  ~TConsoleLog() override;
  void AddLog(const std::string& text, bool newLine, uint32_t colour, TLogStyle style,
              bool bullets) override;
  void SelectPortItem(int) override {}
  void DeviceDone(TDeviceOutcome outcome) override;
  void PortOpenFailed(uint32_t portNumber, const std::string& reason) override;
  void RecordNotWritten(const std::string& path, const std::string& reason) override;
  void DeviceFactsKnown(const TDeviceFacts& facts) override;
  void EndLine();

  int DevicesDone = 0;
  TDeviceOutcome LastOutcome = TDeviceOutcome::Ok;
  bool OpenFailed = false;
  bool RecordFailed = false;
  std::function<void()> OnDeviceDone;
  FILE* JsonOut = nullptr;  // --json: each device's facts as one JSON object here

 private:
  FILE* Out;
  bool Colour;
  bool LineOpen = false;
};

// Dialogs for the console: the text on standard error, the answer from the flag,
// from the terminal, or No/Cancel when there is neither.
class TConsoleDialogs : public TDialogHandler {
 public:
  explicit TConsoleDialogs(TAnswerMode mode, bool interactive)
      : Mode(mode), Interactive(interactive) {}
  void PlainMessage(const std::string& caption, const std::string& text) override;
  int MessageDialog(const std::string& text, TMessageKind kind, uint16_t buttons,
                    int32_t helpContext) override;
  int FileDialog(bool save, const std::string& title, const std::string& defaultExt,
                 const std::string& filter, std::string& fileName) override;
  int InputQuery(const std::string& caption, const std::string& prompt,
                 std::string& value) override;

 private:
  int Ask(const std::string& text, uint16_t buttons);
  TAnswerMode Mode;
  bool Interactive;
};

// The answer a message dialog gets without a person: Yes/OK for `yes`, else
// No/Cancel (OK when that is the only button).
int AutomaticAnswer(uint16_t buttons, bool yes);

// Runs the whole console program; returns the exit status.
int RunConsole(const std::vector<std::string>& args);
