#pragma once
// What an update's progress display adds to the updater's own texts: the percent of
// the bar, the lines of the part sent so far and an estimate of the time left. Shared
// by the console's bar and the window's progress window.

#include <cstdint>
#include <string>

#include "support/Progress.h"

// The lines of the part being sent: (sent, total).
struct TLineCount {
  int Sent = 0;
  int Total = 0;
};

// The connection and post-processing displays count coarse steps; only the
// programming bar, once the first line is through, follows the lines sent.
bool FollowsLines(const TProgressState& state, const TLineCount& lines);

// Estimates the time left from the pace of the lines since the part began.
class TTimeLeft {
 public:
  // "m:ss left", or empty while no pace is known yet.
  std::string Text(const TLineCount& lines);
  // "40/97 lines, 0:12 left" (the time part once known).
  std::string LinesText(const TLineCount& lines);

 private:
  int TimedTotal = -1;  // the part the estimate follows
  int64_t StartMs = 0;
  int StartSent = 0;
};
