#pragma once
// Firmware update from a file on a terminal (calibrator-cli --update FILE): the
// device updater driven without a window, its dialogs answered by the console's
// dialog handler, its progress shown as a bar on a terminal or as plain lines.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "app/LineProgress.h"
#include "support/Progress.h"

// Shows the updater's progress displays. On a terminal one line is rewritten in
// place (bar, percent, lines, time left, text); otherwise a line is printed for
// every new text and for every tenth of the programming bar.
class TUpdateProgressSink : public TProgressSink {
 public:
  TUpdateProgressSink(std::FILE* out, bool terminal, std::function<TLineCount()> lines);
  void Opened(int depth, const TProgressState& state) override;
  void Relaid(int depth, const TProgressState& state) override;
  void Changed(int depth, const TProgressState& state) override;
  void Closed(int depth) override;

 private:
  void Show(const TProgressState& state);
  void DrawBar(const TProgressState& state);
  void PrintPlain(const TProgressState& state, int percent);

  std::FILE* Out;
  bool Terminal;
  std::function<TLineCount()> Lines;
  std::string LastText;
  int LastTenth = -1;
  TTimeLeft Left;
};

// Runs one update of the device on `portNumber` from `fileName`; `method` is the
// connection method when the file's ConnectInfo names none. Returns the console's
// exit status (0 done, 1 refused or failed, 2 port, 3 no answer, 4 unreadable file).
int RunConsoleUpdate(uint32_t portNumber, const std::string& fileName, int method);
