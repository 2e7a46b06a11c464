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

// Exit statuses.
enum TConsoleExit : int {
  ceOk = 0,           // the device ended with "OK!"
  ceDeviceError = 1,  // "Error occurred" or "Error in writing EEPROM."
  cePortError = 2,    // the port could not be opened
  ceTimeout = 3,      // --timeout passed without a device done
  ceUsage = 4,        // bad usage
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
  std::string UpdateFile;     // --update FILE
  int UpdateMethod = 6;       // --method N: the connection method unless the file names one
  bool Help = false;
};

// Parses the arguments (without the program name). False with *error on bad usage.
bool ParseConsoleArguments(const std::vector<std::string>& args, TConsoleOptions& options,
                           std::string& error);
std::string ConsoleUsage();

// What a port argument names: a COM number ("3", "COM3", "com3"), a device path
// (anything with a '/'), or "sim". Returns the port number to open, 0 when it cannot
// be resolved (with *error). For "sim" the simulation is created into `simulation`.
class TSimulation;
uint32_t ResolveConsolePort(const std::string& port, std::unique_ptr<TSimulation>& simulation,
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
  void EndLine();

  int DevicesDone = 0;
  TDeviceOutcome LastOutcome = TDeviceOutcome::Ok;
  bool OpenFailed = false;
  std::function<void()> OnDeviceDone;

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
