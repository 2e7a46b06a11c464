// The waits shared by the updater's parts: the driving thread, the boot loader link
// and the part streamer all wait through these.
#include "firmware/UpdaterInternals.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <thread>

namespace updater {

void WaitMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void PumpEvents() {
  if (!QCoreApplication::instance()) {
    WaitMs(1);
    return;
  }
  // Runs the event loop for a millisecond rather than sleeping it away: a worker
  // waiting in a synchronised notifier call is served as soon as its call is posted.
  QEventLoop loop;
  QTimer::singleShot(1, Qt::PreciseTimer, &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace updater
