#pragma once
// Raising a thread to time-critical priority, as far as the system lets this process.
// One implementation per platform (PosixThreadPriority.cpp, Win32ThreadPriority.cpp).

#include <string>

// What a thread that asked to run time-critical was granted.
struct TThreadPriority {
  enum TKind {
    tpNotAsked,  // the thread has not asked (or has not started yet)
    tpHighest,   // Linux: a real-time policy; Windows: THREAD_PRIORITY_TIME_CRITICAL
    tpRaised,    // a higher priority than normal, but not the highest
    tpNormal,    // the system allowed no more than normal
  };
  TKind Kind = tpNotAsked;
  int Level = 0;     // real-time priority, nice value or Windows priority, as read back
  std::string Text;  // in words, for the diagnostic log
};

// Raises the calling thread and reads back what it got.
TThreadPriority RaiseCurrentThreadToTimeCritical();
