// The support layer's platform side on Linux. Time-critical threads: a real-time policy
// (FIFO) when the process may use one (root, CAP_SYS_NICE or an rtprio limit), otherwise
// the lowest nice value the process may set for the thread.

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include "support/Platform.h"

namespace {

// Above every normal thread, below the kernel's interrupt threads (50), which deliver
// the very bytes a driver thread waits for.
constexpr int kRealTimePriority = 10;

bool TryRealTime(int priority) {
  sched_param param{};
  param.sched_priority = priority;
  return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

int RealTimeAllowed() {
  rlimit limit{};
  if (getrlimit(RLIMIT_RTPRIO, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return kRealTimePriority;
  return static_cast<int>(std::min<rlim_t>(limit.rlim_cur, kRealTimePriority));
}

// The lowest nice value the rlimit allows (20 - limit), at least -20.
int LowestNiceAllowed() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NICE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return -20;
  return std::max(-20, 20 - static_cast<int>(limit.rlim_cur));
}

int ThreadNice() {
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  return errno == 0 ? nice : 0;
}

}  // namespace

TThreadPriority RaiseCurrentThreadToTimeCritical() {
  TThreadPriority granted;
  if (TryRealTime(kRealTimePriority) || TryRealTime(RealTimeAllowed())) {
    int policy = 0;
    sched_param param{};
    pthread_getschedparam(pthread_self(), &policy, &param);
    if (policy == SCHED_FIFO) {
      granted.Kind = TThreadPriority::tpHighest;
      granted.Level = param.sched_priority;
      granted.Text = "real-time policy FIFO, priority " + std::to_string(param.sched_priority);
      return granted;
    }
  }
  // On Linux a nice value set for a thread id applies to that thread alone.
  const int before = ThreadNice();
  for (int nice = std::min(LowestNiceAllowed(), before); nice < before; ++nice)
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice) == 0) break;
  granted.Level = ThreadNice();
  granted.Kind = granted.Level < before ? TThreadPriority::tpRaised : TThreadPriority::tpNormal;
  granted.Text = (granted.Kind == TThreadPriority::tpRaised ? "raised priority, nice "
                                                            : "normal priority (no real-time "
                                                              "policy or higher priority "
                                                              "permitted), nice ") +
                 std::to_string(granted.Level);
  return granted;
}

const char* PlatformLineBreak() {
  return "\n";
}

bool StreamIsTerminal(std::FILE* stream) {
  return isatty(fileno(stream)) != 0;
}

void RemoveSettingsStore(std::unique_ptr<QSettings>& store) {
  const QString path = store->fileName();
  store.reset();  // nothing of it may be written back after the file is gone
  if (QFile::exists(path)) QFile::remove(path);
  QDir().rmdir(QFileInfo(path).absolutePath());  // only when nothing else is in it
}
