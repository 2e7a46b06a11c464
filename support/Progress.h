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

// Renders the progress displays. `depth` counts the open displays (1 = only one).
class TProgressSink {
 public:
  virtual ~TProgressSink() = default;
  // A new display was pushed on the stack (`depth` includes it).
  virtual void Opened(int depth, const TProgressState& state) = 0;
  // The top display was laid out again with new texts and bar settings.
  virtual void Relaid(int depth, const TProgressState& state) = 0;
  // Texts, bar position or busy dots of the top display changed.
  virtual void Changed(int depth, const TProgressState& state) = 0;
  // The top display was closed; `depth` is the number still open.
  virtual void Closed(int depth) = 0;
};

// Installs a sink (nullptr: none) and returns the previous one.
std::unique_ptr<TProgressSink> SetProgressSink(std::unique_ptr<TProgressSink> sink);

// The bar's position as a percent of its range (0..100).
int ProgressPercent(const TProgressState& state);
// Rewrites the terminal line `out` stands on: "[#####     ]  45% Text", or `text` and the
// busy dots while the display shows no bar. `detail` (the lines an update has sent, say)
// stands between the percent and `text` when it is not empty.
void DrawProgressLine(std::FILE* out, const TProgressState& state, const std::string& text,
                      const std::string& detail = {});

// A text bar on `out` (one line rewritten in place).
std::unique_ptr<TProgressSink> MakeConsoleProgressSink(std::FILE* out);
// Installs the console sink on standard error when it is a terminal; returns
// whether it did.
bool InstallConsoleProgress();

// Opens a display (or with `reuse` re-lays-out the top one). A `position` below `min`
// shows no bar. With `caption` and `info` both empty, closes the top display.
void ShowProgress(const QString& caption, const QString& info, int position = 0, int max = 100,
                  int min = 0, bool reuse = false);
void UpdateProgress(const QString& info, int position, const QString& caption);
void SetProgressTexts(const QString& info, const QString& caption);
void SetProgressPosition(int position);
// n > 0: n more steps to the end of the bar, taking the first; 0: one more step;
// n < 0: -n steps, one every 100 ms.
void StepProgress(int n);
void TickBusy();
// Key filter of a progress display: every key but Enter (13) becomes a space (32).
int IgnoreKeys(int key);

// Number of open displays, and the top one's state (nullptr when none is open).
int ProgressDepth();
const TProgressState* CurrentProgress();

void StartUnitProgress();
// Closes every open display.
void StopUnitProgress();
