#include "app/LineProgress.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool FollowsLines(const TProgressState& state, const TLineCount& lines) {
  return state.BarVisible && state.Max != StepScale && state.Position > state.Min &&
         lines.Total > 0;
}

std::string TTimeLeft::Text(const TLineCount& lines) {
  const int64_t now = NowMs();
  if (lines.Total != TimedTotal || lines.Sent < StartSent) {
    TimedTotal = lines.Total;
    StartMs = now;
    StartSent = lines.Sent;
  }
  const int done = lines.Sent - StartSent;
  if (done <= 0 || now <= StartMs) return {};
  const int64_t leftMs = (now - StartMs) * (lines.Total - lines.Sent) / done;
  const int64_t seconds = (leftMs + 999) / 1000;
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld left", static_cast<long long>(seconds / 60),
                static_cast<long long>(seconds % 60));
  return text;
}

std::string TTimeLeft::LinesText(const TLineCount& lines) {
  std::string text = std::to_string(lines.Sent) + "/" + std::to_string(lines.Total) + " lines";
  const std::string left = Text(lines);
  if (!left.empty()) text += ", " + left;
  return text;
}
