#pragma once
// Waiting for a state and measuring time, the same way in every test: a test waits
// on the state it needs (a byte taken, a tick counted, a frame on the wire), never
// on a fixed sleep; the time limit only guards against a hang.

#include <QCoreApplication>
#include <chrono>
#include <functional>
#include <thread>

// Polls `done`, pumping the main thread's events between polls (queued calls and
// notifications run there), until it holds or `ms` have passed.
inline bool WaitUntil(const std::function<bool()>& done, int ms = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Milliseconds from `start` to now.
inline double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}
