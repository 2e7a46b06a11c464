// Time-critical threads on Windows: THREAD_PRIORITY_TIME_CRITICAL, read back.

#include <windows.h>

#include "support/ThreadPriority.h"

TThreadPriority RaiseCurrentThreadToTimeCritical() {
  TThreadPriority granted;
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  const int priority = GetThreadPriority(GetCurrentThread());
  granted.Level = priority;
  if (priority == THREAD_PRIORITY_TIME_CRITICAL) {
    granted.Kind = TThreadPriority::tpHighest;
    granted.Text = "time-critical priority";
  } else if (priority > THREAD_PRIORITY_NORMAL && priority != THREAD_PRIORITY_ERROR_RETURN) {
    granted.Kind = TThreadPriority::tpRaised;
    granted.Text = "raised priority " + std::to_string(priority);
  } else {
    granted.Kind = TThreadPriority::tpNormal;
    granted.Text = "normal priority (time-critical refused)";
  }
  return granted;
}
