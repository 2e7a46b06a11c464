#pragma once
// What the console shows and asks on the terminal: the cycle's log, line by line,
// and the questions, answered by a flag, by the person at the terminal, or
// No/Cancel when there is neither.

#include <cstdio>
#include <functional>
#include <string>

#include "app/CalibrationCycle.h"
#include "app/console/Arguments.h"
#include "support/Dialogs.h"

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
  void PortLost(uint32_t portNumber, const std::string& path) override;
  bool ShowsWindowTexts() const override { return false; }
  void EndLine();

  int DevicesDone = 0;           // devices that reached a result
  bool UnitInterrupted = false;  // a device's handling was cut short by a stop
  TDeviceOutcome LastOutcome = TDeviceOutcome::Ok;
  bool OpenFailed = false;
  bool RecordFailed = false;
  bool Verbose = false;  // --verbose: the device a lost port led to, on standard error
  std::function<void()> OnDeviceDone;
  FILE* JsonOut = nullptr;  // --json: each device's facts as one JSON object here

 private:
  FILE* Out;
  bool Colour;
  bool LineOpen = false;
};

// Whether the log is coloured: --color always or never decides; auto colours a
// terminal unless NO_COLOR is set (to any value) or TERM is "dumb". `noColour` and
// `term` are those variables' values, null when unset.
bool ColourWanted(TColourMode mode, bool terminal, const char* noColour, const char* term);

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

// The console's opening line: what it does on which port.
std::string ConsoleOpeningLine(uint32_t portNumber, const std::string& path);

// The answer a message dialog gets without a person: Yes/OK for `yes`, else
// No/Cancel (OK when that is the only button).
int AutomaticAnswer(uint16_t buttons, bool yes);
