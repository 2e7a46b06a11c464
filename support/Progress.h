// Progress display for long operations on the main thread (reprogramming a
// device). Core code calls the free operations below; they keep a stack of open
// progress displays and hand every change to the installed sink (the window in
// the GUI program, a text bar on standard error in the console program). With no
// sink installed the operations only keep their state.
#pragma once

#include <QString>

#include <climits>
#include <cstdio>
#include <memory>
#include <string>

// Passed as a caption or information text, leaves that text unchanged.
inline const QString KeepText = QString::fromLatin1("\x00\x01\x02\x04", 4);
// Passed as a position, leaves the bar unchanged.
inline constexpr int KeepPosition = INT_MAX;
// The scale StepProgress switches the bar to.
inline constexpr int StepScale = 0x1000000;

// What one progress display shows.
struct TProgressState {
  QString Caption;
  QString Info;
  bool BarVisible = false;
  int Position = 0;
  int Min = 0;
  int Max = 100;
  int StepSize = 1;
  QString Busy;  // the busy dots
};

// Renders the progress displays. Depth counts the open displays (1 = only one).
class TProgressSink {
 public:
  virtual ~TProgressSink() = default;
  // A new display was pushed on the stack (Depth includes it).
  virtual void Opened(int Depth, const TProgressState& State) = 0;
  // The top display was laid out again with new texts and bar settings.
  virtual void Relaid(int Depth, const TProgressState& State) = 0;
  // Texts, bar position or busy dots of the top display changed.
  virtual void Changed(int Depth, const TProgressState& State) = 0;
  // The top display was closed; Depth is the number still open.
  virtual void Closed(int Depth) = 0;
};

// Installs a sink (nullptr: none) and returns the previous one.
std::unique_ptr<TProgressSink> SetProgressSink(std::unique_ptr<TProgressSink> Sink);

// The bar's position as a percent of its range (0..100).
int ProgressPercent(const TProgressState& State);
// Rewrites the terminal line Out stands on: "[#####     ]  45% Text", or Text and the
// busy dots while the display shows no bar. Detail (the lines an update has sent, say)
// stands between the percent and Text when it is not empty.
void DrawProgressLine(std::FILE* Out, const TProgressState& State, const std::string& Text,
                      const std::string& Detail = {});

// A text bar on Out (one line rewritten in place).
std::unique_ptr<TProgressSink> MakeConsoleProgressSink(std::FILE* Out);
// Installs the console sink on standard error when it is a terminal; returns
// whether it did.
bool InstallConsoleProgress();

// Opens a display (or with Reuse re-lays-out the top one). A Position below Min
// shows no bar. With Caption and Info both empty, closes the top display.
void ShowProgress(const QString& Caption, const QString& Info, int Position = 0, int Max = 100,
                  int Min = 0, bool Reuse = false);
void UpdateProgress(const QString& Info, int Position, const QString& Caption);
void SetProgressTexts(const QString& Info, const QString& Caption);
void SetProgressPosition(int Position);
// N > 0: N more steps to the end of the bar, taking the first; 0: one more step;
// N < 0: -N steps, one every 100 ms.
void StepProgress(int N);
void TickBusy();
// Key filter of a progress display: every key but Enter (13) becomes a space (32).
int IgnoreKeys(int Key);

// Number of open displays, and the top one's state (nullptr when none is open).
int ProgressDepth();
const TProgressState* CurrentProgress();

void StartUnitProgress();
// Closes every open display.
void StopUnitProgress();
