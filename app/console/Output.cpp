#include "app/console/Output.h"

#include <iostream>

#include "app/CalibrationRecord.h"

namespace {

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

bool ColourWanted(TColourMode mode, bool terminal, const char* noColour, const char* term) {
  if (mode != TColourMode::Auto) return mode == TColourMode::Always;
  return terminal && !noColour && !(term && std::string(term) == "dumb");
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
  if (outcome == TDeviceOutcome::Interrupted)
    UnitInterrupted = true;
  else
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

void TConsoleLog::PortLost(uint32_t portNumber, const std::string& path) {
  if (!Verbose || path.empty()) return;
  EndLine();
  std::fprintf(stderr, "Com %u = %s\n", portNumber, path.c_str());
}

std::string ConsoleOpeningLine(uint32_t portNumber, const std::string& path) {
  std::string line =
      "Calibrating the device behind the interface on Com " + std::to_string(portNumber);
  if (!path.empty()) line += " (" + path + ")";
  return line;
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
    line = LowerAscii(line);
    for (const auto& c : choices)
      if ((buttons & c.Button) && (line == c.Key || line == LowerAscii(c.Word))) return c.Result;
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
