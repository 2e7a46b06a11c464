#pragma once
// Thread and synchronisation primitives: a thread base class that the main thread can
// stop safely, a counter with zero / non-zero waits, a manual-reset event, a lock, a
// deadline, an uninterruptible pause and a queue that runs notifications on the main
// thread a given time after they were posted.
//
// "Main thread" is the thread of QCoreApplication::instance(). Waiting on the main
// thread for a worker (TSafeThread::Stop) pumps Qt events, so worker-to-main calls
// (SyncCall) and queued notifications keep flowing. Works the same under a
// QCoreApplication and a QApplication.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include "support/Platform.h"

using TClock = std::chrono::steady_clock;
using TDateTime = TClock::time_point;

// Exit-code states of a thread, as its owner sees them.
inline constexpr uint32_t ThreadStillActive = 259;  // body has not returned (or is running)
inline constexpr uint32_t ThreadNoExitCode = 260;   // what Stop takes when no code is known

// ---------------------------------------------------------------------------
// TSafeThread: derive, implement Execute(), poll Terminated() (or sleep with
// WaitTerminated(ms), which Stop ends early).
//
// Ownership: a thread object is created with TSafeThread::Create<T>(suspended, args...)
// and belongs to the thread machinery, not to the caller; the returned pointer is a
// handle. It is freed by Stop(..., free = true), by free-on-terminate, or by the
// TThreadPtr deleter (which does Stop(true, true, true)). Never delete it yourself.
// Threads still alive at StopUnitThreads() are stopped and freed there.
class TSafeThread {
 public:
  TSafeThread(const TSafeThread&) = delete;
  TSafeThread& operator=(const TSafeThread&) = delete;
  virtual ~TSafeThread();

  // Creates the object and its thread; the thread runs Execute() at once unless
  // createSuspended is true (then Resume() starts it).
  template <class T, class... Args>
  static T* Create(bool createSuspended, Args&&... args) {
    static_assert(std::is_base_of_v<TSafeThread, T>);
    std::unique_ptr<T> object(new T(std::forward<Args>(args)...));
    T* handle = object.get();
    Adopt(std::move(object));
    if (!createSuspended) handle->Resume();
    return handle;
  }

  // Starts a thread created suspended; no effect once started.
  void Resume();
  // quiet: set Stopping (pending SyncCalls no longer run) and pump events once.
  // wait: pump events until the body has returned. free: free the object (after the
  // wait), or, without wait, let the thread free itself when its body returns.
  // After Stop(_, true, true) the object no longer exists.
  void Stop(bool quiet, bool wait, bool free);
  // Worker side: runs `method` on the main thread and waits until it has run. It is
  // skipped once Stopping is set. Called on the main thread, it runs directly.
  void SyncCall(const std::function<void()>& method);

  // Requests termination (sets the flag the body polls) and wakes WaitTerminated.
  void Terminate();
  bool Terminated() const { return TerminatedFlag.load(); }
  bool Stopping() const { return StoppingFlag.load(); }
  // ThreadStillActive while the body has not returned, then the body's ReturnValue.
  uint32_t ExitCode() const { return ExitCodeValue.load(); }
  bool Finished() const { return ExitCode() != ThreadStillActive; }
  void SetFreeOnTerminate(bool value);
  // Asks for time-critical priority: before Resume (the thread raises itself when it
  // starts) or from the thread itself. The thread gets what the system permits and
  // logs one diagnostic line saying what (see ThreadPriority.h).
  void SetTimeCritical();
  // What the thread was granted; tpNotAsked until it has applied a request.
  TThreadPriority GrantedPriority() const;

 protected:
  TSafeThread();
  // The thread body. Poll Terminated() and return when it is set.
  virtual void Execute() = 0;
  // For the body: sleeps up to `ms` milliseconds; returns true at once when
  // termination is (or becomes) requested.
  bool WaitTerminated(int ms);
  // Exit code reported after the body returns.
  uint32_t ReturnValue = 0;

 private:
  static void Adopt(std::unique_ptr<TSafeThread> object);
  static void Release(TSafeThread* object);  // frees a registered object
  void Run();
  void WaitForBody();
  void ApplyTimeCritical();

  std::thread Thread;
  std::atomic<bool> Started{false};
  std::atomic<bool> TerminatedFlag{false};
  std::atomic<bool> StoppingFlag{false};
  std::atomic<uint32_t> ExitCodeValue{ThreadStillActive};
  std::mutex StateGuard;  // FreeOnTerminate / BodyDone hand-over, terminate wake-up
  std::condition_variable TerminateSignal;
  bool FreeOnTerminate = false;
  bool BodyDone = false;
  std::atomic<bool> WantTimeCritical{false};
  mutable std::mutex PriorityGuard;
  TThreadPriority Granted;
};

// Deleter for owners that prefer a smart pointer: stops quietly, waits and frees.
struct TThreadStopper {
  void operator()(TSafeThread* thread) const {
    if (thread) thread->Stop(true, true, true);
  }
};
template <class T>
using TThreadPtr = std::unique_ptr<T, TThreadStopper>;

// ---------------------------------------------------------------------------
// TEvent: a manual-reset event. Set/Reset from any thread; Wait with a time-out in
// ms (negative = without limit) returns true when the event is (or becomes) set.
class TEvent {
 public:
  explicit TEvent(bool initiallySet = false) : Signalled(initiallySet) {}
  void Set();
  void Reset();
  bool IsSet() const;
  bool Wait(int ms) const;

 private:
  mutable std::mutex Guard;
  mutable std::condition_variable Changed;
  bool Signalled;
};

// TSemaphore: a counter (not a counting semaphore). Its zero "event" is signalled
// exactly while the count is 0, its non-zero "event" exactly while it is not 0.
class TSemaphore {
 public:
  TSemaphore() = default;
  int32_t Count() const;
  void Add(int32_t delta);
  // Wait up to ms (negative = without limit) for the non-zero / zero state; true when
  // it holds. Waking does not take anything: the caller takes with Add(-1).
  bool WaitNonZero(int ms) const;
  bool WaitZero(int ms) const;

 private:
  mutable std::mutex Guard;
  mutable std::condition_variable Changed;
  int32_t Value = 0;
};

// TLock: a recursive lock (the owning thread may acquire it again).
class TLock {
 public:
  // wait true: blocks until obtained; false: only tries. True when obtained.
  bool Acquire(bool wait);
  void Release();

 private:
  std::recursive_mutex Mutex;
};

// TDelayChecker: a deadline `ms` milliseconds after creation (monotonic clock).
class TDelayChecker {
 public:
  explicit TDelayChecker(int64_t ms);
  bool Expired() const { return TClock::now() > Due; }
  TDateTime Due;
};

// Sleeps exactly `ms` milliseconds; nothing ends it early (it does not pump events).
void Pause(int ms);

// ---------------------------------------------------------------------------
// Notifications run on the main thread.

// A handler: code plus the object it runs on. Two handlers are "the same" when their
// code is the same (the object is not compared). Make one with NotifyMethod.
using TNotifyCode = void (*)(void* object, void* sender);
struct TNotifyEvent {
  TNotifyCode Code = nullptr;
  void* Object = nullptr;
};

// NotifyMethod<&TMyClass::OnFrame>(this) for `void TMyClass::OnFrame(void* sender)`.
template <auto Method, class T>
TNotifyEvent NotifyMethod(T* object) {
  TNotifyCode code = [](void* self, void* sender) { (static_cast<T*>(self)->*Method)(sender); };
  return TNotifyEvent{code, object};
}

class TNotifyContainer {
 public:
  TNotifyContainer(TDateTime due, TNotifyEvent handler, void* sender)
      : Due(due), Handler(handler), Sender(sender) {}
  virtual ~TNotifyContainer() = default;
  virtual void Fire();
  // Same handler code and same sender.
  virtual bool SameAs(const TNotifyContainer& other) const;

  TDateTime Due;
  TNotifyEvent Handler;
  void* Sender;
};

// Posts a notification: `handler` runs on the main thread with `sender` once `delayMs`
// have passed (and the main thread pumps events). Any thread. With allowDuplicates
// false it is dropped when an equal one (same code, same sender) is still pending.
void PostNotify(void* sender, int delayMs, bool allowDuplicates, TNotifyEvent handler);
// Variant for a plain function object (never equal to another pending notification).
void PostNotify(int delayMs, std::function<void()> action);
// Drops every pending notification whose sender or handler object is `object`; an
// object that posts notifications calls this before it is freed.
void DropNotifies(const void* object);
// Number of notifications waiting (for tests and diagnostics).
int PendingNotifies();

// Process-wide state: the notification queue and the thread registry. Start on the
// main thread after the QCoreApplication exists. Stop stops remaining threads.
void StartUnitThreads();
void StopUnitThreads();
