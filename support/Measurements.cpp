#include "support/Measurements.h"

#include <atomic>

namespace {
thread_local int64_t ThreadPausedMicros = 0;
thread_local int64_t ThreadIdleReadMicros = 0;
std::atomic<int64_t> QuietRoundsHeld{0};
}  // namespace

int64_t PausedMicros() {
  return ThreadPausedMicros;
}

void CountPausedMicros(int64_t micros) {
  ThreadPausedMicros += micros;
}

int64_t IdleReadMicros() {
  return ThreadIdleReadMicros;
}

void CountIdleReadMicros(int64_t micros) {
  ThreadIdleReadMicros += micros;
}

int64_t QuietRoundsWithFrameWaiting() {
  return QuietRoundsHeld.load();
}

void CountQuietRoundWithFrameWaiting() {
  ++QuietRoundsHeld;
}
