#pragma once
// What differs between the platforms in the support layer: thread priority, line
// breaks, terminals, removing the settings store. One implementation per platform
// (PosixPlatform.cpp, Win32Platform.cpp).

#include <cstdio>
#include <memory>
#include <string>

class QSettings;

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

// Raises the calling thread as far as the system lets this process, and reads back
// what it got.
TThreadPriority RaiseCurrentThreadToTimeCritical();

// The platform's line break in text files ("\r\n" or "\n").
const char* PlatformLineBreak();
// Whether the stream is a terminal.
bool StreamIsTerminal(std::FILE* stream);
// Frees the settings store and removes what it kept (file or registry key).
void RemoveSettingsStore(std::unique_ptr<QSettings>& store);
