#pragma once
// A request to end the run at the next safe point: Ctrl-C, a request to terminate,
// the terminal or console window going away, or a time limit that has run out.
// Long jobs poll it between their steps (a device write is never cut in half); the
// signal side only sets atomics, so it is safe inside a signal handler.
//
// The handlers themselves are platform code: PosixStopSignals.cpp (SIGINT, SIGTERM,
// SIGHUP) and Win32StopSignals.cpp (the console's control events).

#include <cstdint>

// Why the run is to end. The signal causes carry the signal's number, so that the
// exit status 128 + number is the one a shell expects.
enum class TStopCause : int {
  None = 0,
  HangUp = 1,       // the terminal went away (Windows: the console window was closed)
  Interrupt = 2,    // Ctrl-C
  Terminate = 15,   // a request to terminate
  TimeLimit = 256,  // the run's time limit has passed
};

// Asks for a stop; the first cause asked for is kept. Safe in a signal handler.
void RequestStop(TStopCause cause);
// Whether a stop has been asked for, or the time limit has passed.
bool StopRequested();
// Like StopRequested, but true already when the time limit passes within `ms`: a
// step that would wait that long is not begun.
bool StopDueWithin(int ms);
TStopCause StopCause();
// 128 + the signal's number for a stop by a signal, 0 otherwise.
int StopExitStatus(TStopCause cause);
// The time limit, `ms` from now; 0 or less removes it.
void SetStopTimeLimit(int64_t ms);
// Forgets the request and the time limit (a new run, or a test).
void ClearStopRequest();

// An interrupt (Ctrl-C) that only warns the first time: while set, a first Ctrl-C is
// noted for TakeStopWarning, and only a second one within `withinMs` asks for a stop.
// Other causes stop at once. Used while an interruption would leave a device unusable.
void SetSecondInterruptNeeded(bool needed, int withinMs = 5000);
// True once for every first Ctrl-C noted while a second one is needed.
bool TakeStopWarning();

// The platform's handlers for the signals or console events above.
void InstallStopSignals();
// Tells the handlers that the program has reached its safe point: a Windows console
// that is being closed waits for this (for a few seconds) before it ends the process.
void StopSettled();
