#include "support/StopRequest.h"

#include <atomic>
#include <chrono>

namespace {

// Plain atomics only: RequestStop runs inside signal handlers.
std::atomic<int> Cause{0};
std::atomic<int64_t> LimitMs{0};  // on the NowMs scale; 0 = no limit
std::atomic<bool> SecondNeeded{false};
std::atomic<int> SecondWithinMs{5000};
std::atomic<int64_t> FirstInterruptMs{0};
std::atomic<bool> WarningPending{false};

// Milliseconds on the monotonic clock, never 0 (0 marks "none" above).
int64_t NowMs() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::milliseconds>(since).count() + 1;
}

// A first Ctrl-C while a second one is needed: noted, not acted on.
bool OnlyWarns() {
  const int64_t now = NowMs();
  const int64_t first = FirstInterruptMs.load();
  if (first != 0 && now - first <= SecondWithinMs.load()) return false;
  FirstInterruptMs = now;
  WarningPending = true;
  return true;
}

}  // namespace

void RequestStop(TStopCause cause) {
  if (cause == TStopCause::None) return;
  if (cause == TStopCause::Interrupt && SecondNeeded.load() && OnlyWarns()) return;
  int none = 0;
  Cause.compare_exchange_strong(none, static_cast<int>(cause));
}

bool StopDueWithin(int ms) {
  if (Cause.load() != 0) return true;
  const int64_t limit = LimitMs.load();
  const int64_t now = NowMs();
  if (limit == 0 || now + ms < limit) return false;
  if (now >= limit) RequestStop(TStopCause::TimeLimit);
  return true;
}

bool StopRequested() {
  return StopDueWithin(0);
}

TStopCause StopCause() {
  return static_cast<TStopCause>(Cause.load());
}

int StopExitStatus(TStopCause cause) {
  switch (cause) {
    case TStopCause::HangUp:
    case TStopCause::Interrupt:
    case TStopCause::Terminate:
      return 128 + static_cast<int>(cause);
    case TStopCause::None:
    case TStopCause::TimeLimit:
      break;
  }
  return 0;
}

void SetStopTimeLimit(int64_t ms) {
  LimitMs = ms > 0 ? NowMs() + ms : 0;
}

void ClearStopRequest() {
  Cause = 0;
  LimitMs = 0;
  FirstInterruptMs = 0;
  WarningPending = false;
}

void SetSecondInterruptNeeded(bool needed, int withinMs) {
  SecondWithinMs = withinMs;
  FirstInterruptMs = 0;
  SecondNeeded = needed;
}

bool TakeStopWarning() {
  return WarningPending.exchange(false);
}
