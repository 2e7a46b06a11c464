#include "support/Threads.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <limits>
#include <map>
#include <vector>

#include "support/Measurements.h"
#include "support/Platform.h"
#include "support/Textlogger.h"

namespace {

bool OnMainThread() {
  const QCoreApplication* app = QCoreApplication::instance();
  return app == nullptr || QThread::currentThread() == app->thread();
}

void PumpEventsOnMainThread() {
  if (QCoreApplication::instance() && OnMainThread()) QCoreApplication::processEvents();
}

// Owns every thread object created by TSafeThread::Create until it is freed.
struct TThreadRegistry {
  std::mutex Guard;
  std::map<TSafeThread*, std::unique_ptr<TSafeThread>> Objects;
};

TThreadRegistry& Registry() {
  static TThreadRegistry registry;
  return registry;
}

std::chrono::milliseconds Millis(int ms) {
  return std::chrono::milliseconds(ms);
}

}  // namespace

// ---------------------------------------------------------------------------
// TSafeThread

TSafeThread::TSafeThread() = default;

TSafeThread::~TSafeThread() {
  if (!Thread.joinable()) return;
  if (Thread.get_id() == std::this_thread::get_id()) {
    Thread.detach();  // freed by its own body (free-on-terminate)
    return;
  }
  Terminate();
  Thread.join();
}

void TSafeThread::Adopt(std::unique_ptr<TSafeThread> object) {
  TThreadRegistry& registry = Registry();
  std::lock_guard lock(registry.Guard);
  TSafeThread* key = object.get();
  registry.Objects.emplace(key, std::move(object));
}

void TSafeThread::Release(TSafeThread* object) {
  std::unique_ptr<TSafeThread> owned;
  {
    TThreadRegistry& registry = Registry();
    std::lock_guard lock(registry.Guard);
    auto found = registry.Objects.find(object);
    if (found == registry.Objects.end()) return;
    owned = std::move(found->second);
    registry.Objects.erase(found);
  }
  owned.reset();  // outside the registry lock: the destructor may join
}

void TSafeThread::Resume() {
  bool expected = false;
  if (!Started.compare_exchange_strong(expected, true)) return;
  // Run() takes the guard first, so the body never sees Thread half-assigned.
  std::lock_guard lock(StateGuard);
  Thread = std::thread([this] { Run(); });
}

void TSafeThread::Run() {
  { std::lock_guard gate(StateGuard); }
  if (WantTimeCritical.load()) ApplyTimeCritical();  // a priority is set by the thread itself
  try {
    Execute();
  } catch (const std::exception& error) {
    LogText(std::string("Thread ended by exception: ") + error.what());
  } catch (...) {
    LogText("Thread ended by unknown exception");
  }
  bool freeSelf = false;
  {
    std::lock_guard lock(StateGuard);
    BodyDone = true;
    freeSelf = FreeOnTerminate;
    // 259 is reserved for "still running"; a body cannot report it.
    ExitCodeValue.store(ReturnValue == ThreadStillActive ? 0 : ReturnValue);
  }
  TerminateSignal.notify_all();
  if (freeSelf) Release(this);  // no member may be touched after this
}

void TSafeThread::Terminate() {
  {
    std::lock_guard lock(StateGuard);
    TerminatedFlag.store(true);
  }
  TerminateSignal.notify_all();
}

bool TSafeThread::WaitTerminated(int ms) {
  std::unique_lock lock(StateGuard);
  auto terminated = [this] { return TerminatedFlag.load(); };
  if (ms < 0) {
    TerminateSignal.wait(lock, terminated);
    return true;
  }
  return TerminateSignal.wait_for(lock, Millis(ms), terminated);
}

void TSafeThread::SetFreeOnTerminate(bool value) {
  bool freeNow = false;
  {
    std::lock_guard lock(StateGuard);
    FreeOnTerminate = value;
    // A body that has already returned (or will never run) cannot free itself any more.
    freeNow = value && (BodyDone || !Started.load());
  }
  if (freeNow) Release(this);
}

void TSafeThread::SetTimeCritical() {
  WantTimeCritical = true;
  if (Started.load() && Thread.joinable() && Thread.get_id() == std::this_thread::get_id())
    ApplyTimeCritical();
}

void TSafeThread::ApplyTimeCritical() {
  const TThreadPriority granted = RaiseCurrentThreadToTimeCritical();
  LogText("Time-critical thread runs with " + granted.Text);
  std::lock_guard lock(PriorityGuard);
  Granted = granted;
}

TThreadPriority TSafeThread::GrantedPriority() const {
  std::lock_guard lock(PriorityGuard);
  return Granted;
}

void TSafeThread::WaitForBody() {
  const bool pump = OnMainThread();
  while (Started.load() && ExitCode() == ThreadStillActive) {
    if (pump) PumpEventsOnMainThread();
    std::unique_lock lock(StateGuard);
    TerminateSignal.wait_for(lock, Millis(1), [this] { return BodyDone; });
  }
}

void TSafeThread::Stop(bool quiet, bool wait, bool free) {
  // A body cannot wait for its own end: from inside it, stopping only marks it.
  if (Thread.joinable() && Thread.get_id() == std::this_thread::get_id()) wait = false;
  if (quiet) StoppingFlag.store(true);
  Terminate();
  if (quiet) PumpEventsOnMainThread();
  if (!wait) {
    if (free) SetFreeOnTerminate(true);  // may free the object at once
    return;
  }
  {
    std::lock_guard lock(StateGuard);
    FreeOnTerminate = false;  // this call frees (or the owner does), not the body
  }
  WaitForBody();
  if (free) Release(this);
}

namespace {

// One worker-to-main call. The hand-over goes through the notification queue and
// this state, both guarded by our own locks, so that the call is ordered for every
// observer (including the thread sanitizer, which cannot see into Qt's own waits).
struct TSyncCallState {
  enum TPhase { scPending, scRunning, scDone, scAbandoned };
  std::mutex Guard;
  std::condition_variable Changed;
  TPhase Phase = scPending;
};

}  // namespace

void TSafeThread::SyncCall(const std::function<void()>& method) {
  if (StoppingFlag.load() || !method) return;
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || OnMainThread()) {
    method();
    return;
  }
  auto state = std::make_shared<TSyncCallState>();
  PostNotify(0, [this, state, &method] {
    {
      std::lock_guard lock(state->Guard);
      if (state->Phase == TSyncCallState::scAbandoned) return;  // the worker has gone
      state->Phase = TSyncCallState::scRunning;
    }
    if (!StoppingFlag.load()) method();
    {
      std::lock_guard lock(state->Guard);
      state->Phase = TSyncCallState::scDone;
    }
    state->Changed.notify_all();
  });
  std::unique_lock lock(state->Guard);
  for (;;) {
    if (state->Changed.wait_for(lock, std::chrono::milliseconds(50),
                                [&] { return state->Phase == TSyncCallState::scDone; }))
      return;
    // A call that has not started when the thread is asked to end is given up, so that a
    // main thread that no longer pumps events cannot hold the worker forever.
    if (state->Phase == TSyncCallState::scPending && TerminatedFlag.load()) {
      state->Phase = TSyncCallState::scAbandoned;
      return;
    }
  }
}

// ---------------------------------------------------------------------------
// TEvent

void TEvent::Set() {
  {
    std::lock_guard lock(Guard);
    Signalled = true;
  }
  Changed.notify_all();
}

void TEvent::Reset() {
  std::lock_guard lock(Guard);
  Signalled = false;
}

bool TEvent::IsSet() const {
  std::lock_guard lock(Guard);
  return Signalled;
}

bool TEvent::Wait(int ms) const {
  std::unique_lock lock(Guard);
  auto isSet = [this] { return Signalled; };
  if (ms < 0) {
    Changed.wait(lock, isSet);
    return true;
  }
  return Changed.wait_for(lock, Millis(ms), isSet);
}

// ---------------------------------------------------------------------------
// TSemaphore

int32_t TSemaphore::Count() const {
  std::lock_guard lock(Guard);
  return Value;
}

void TSemaphore::Add(int32_t delta) {
  {
    std::lock_guard lock(Guard);
    Value += delta;
  }
  Changed.notify_all();
}

bool TSemaphore::WaitNonZero(int ms) const {
  std::unique_lock lock(Guard);
  auto nonZero = [this] { return Value != 0; };
  if (ms < 0) {
    Changed.wait(lock, nonZero);
    return true;
  }
  return Changed.wait_for(lock, Millis(ms), nonZero);
}

bool TSemaphore::WaitZero(int ms) const {
  std::unique_lock lock(Guard);
  auto zero = [this] { return Value == 0; };
  if (ms < 0) {
    Changed.wait(lock, zero);
    return true;
  }
  return Changed.wait_for(lock, Millis(ms), zero);
}

// ---------------------------------------------------------------------------
// TLock, TDelayChecker, Pause

bool TLock::Acquire(bool wait) {
  if (!wait) return Mutex.try_lock();
  Mutex.lock();
  return true;
}

void TLock::Release() {
  Mutex.unlock();
}

TDelayChecker::TDelayChecker(int64_t ms) : Due(TClock::now() + std::chrono::milliseconds(ms)) {}

void Pause(int ms) {
  if (ms <= 0) return;
  // sleep_until resumes after interruptions; on Windows its timer can also end a
  // little before the steady clock reaches the deadline, so sleep again then.
  const TDateTime start = TClock::now();
  const TDateTime due = start + Millis(ms);
  while (TClock::now() < due) std::this_thread::sleep_until(due);
  CountPausedMicros(
      std::chrono::duration_cast<std::chrono::microseconds>(TClock::now() - start).count());
}

// ---------------------------------------------------------------------------
// Notifications

void TNotifyContainer::Fire() {
  if (Handler.Code) Handler.Code(Handler.Object, Sender);
}

bool TNotifyContainer::SameAs(const TNotifyContainer& other) const {
  return other.Handler.Code != nullptr && other.Handler.Code == Handler.Code &&
         other.Sender == Sender;
}

namespace {

class TNotifyFunction : public TNotifyContainer {
 public:
  TNotifyFunction(TDateTime due, std::function<void()> action)
      : TNotifyContainer(due, TNotifyEvent{}, nullptr), Action(std::move(action)) {}
  void Fire() override {
    if (Action) Action();
  }
  bool SameAs(const TNotifyContainer&) const override { return false; }

 private:
  std::function<void()> Action;
};

// Runs due notifications on the main thread from a 1 ms timer that is on only while
// anything is pending.
class TNotifyQueuer : public QObject {
 public:
  TNotifyQueuer() {
    Timer.setInterval(1);
    Timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&Timer, &QTimer::timeout, this, [this] { FireDue(); });
    Immediate.setSingleShot(true);
    Immediate.setInterval(0);
    QObject::connect(&Immediate, &QTimer::timeout, this, [this] {
      FireDue();
      if (Count() > 0 && !Timer.isActive()) Timer.start();  // later ones tick as usual
    });
  }

  void Post(std::unique_ptr<TNotifyContainer> container, bool allowDuplicates) {
    {
      std::lock_guard lock(Guard);
      if (!allowDuplicates) {
        for (const auto& pending : Pending)
          if (pending->SameAs(*container)) return;  // the new one is freed here
      }
      Pending.push_back(std::move(container));
    }
    EnableTimer();
  }

  void Drop(const void* object) {
    std::lock_guard lock(Guard);
    std::erase_if(Pending, [object](const std::unique_ptr<TNotifyContainer>& entry) {
      return entry->Sender == object || entry->Handler.Object == object;
    });
  }

  int Count() {
    std::lock_guard lock(Guard);
    return static_cast<int>(Pending.size());
  }

 private:
  void EnableTimer() {
    if (thread() == QThread::currentThread()) {
      if (!Timer.isActive()) Timer.start();
      return;
    }
    // Invoked by name, so that the queued call is made entirely inside Qt and shares
    // no memory with this thread (the list itself is guarded by our own lock). The
    // first tick comes at once: a worker waiting in a synchronised call must not lose
    // a timer interval per call.
    QMetaObject::invokeMethod(&Immediate, "start", Qt::QueuedConnection);
  }

  std::unique_ptr<TNotifyContainer> TakeDue(long long& index, TDateTime now) {
    std::lock_guard lock(Guard);
    if (Pending.empty()) Timer.stop();
    const auto size = static_cast<long long>(Pending.size());
    if (index >= size) index = size - 1;
    if (index < 0 || Pending[index]->Due > now) return nullptr;
    std::unique_ptr<TNotifyContainer> taken = std::move(Pending[index]);
    Pending.erase(Pending.begin() + index);
    return taken;
  }

  // Newest first; notifications posted by a handler wait for a later tick.
  void FireDue() {
    const TDateTime now = TClock::now();
    long long index = std::numeric_limits<long long>::max();
    while (index >= 0) {
      if (std::unique_ptr<TNotifyContainer> entry = TakeDue(index, now)) entry->Fire();
      --index;
    }
  }

  QTimer Timer;
  QTimer Immediate;  // the first tick after a post from another thread
  std::mutex Guard;
  std::vector<std::unique_ptr<TNotifyContainer>> Pending;
};

std::mutex QueuerGuard;
std::unique_ptr<TNotifyQueuer> Queuer;

TNotifyQueuer& TheQueuer() {
  std::lock_guard lock(QueuerGuard);
  if (!Queuer) {
    Queuer = std::make_unique<TNotifyQueuer>();
    if (QCoreApplication* app = QCoreApplication::instance()) Queuer->moveToThread(app->thread());
  }
  return *Queuer;
}

}  // namespace

void PostNotify(void* sender, int delayMs, bool allowDuplicates, TNotifyEvent handler) {
  auto container =
      std::make_unique<TNotifyContainer>(TClock::now() + Millis(delayMs), handler, sender);
  TheQueuer().Post(std::move(container), allowDuplicates);
}

void PostNotify(int delayMs, std::function<void()> action) {
  auto container =
      std::make_unique<TNotifyFunction>(TClock::now() + Millis(delayMs), std::move(action));
  TheQueuer().Post(std::move(container), true);
}

void DropNotifies(const void* object) {
  std::lock_guard lock(QueuerGuard);
  if (Queuer) Queuer->Drop(object);
}

int PendingNotifies() {
  std::lock_guard lock(QueuerGuard);
  return Queuer ? Queuer->Count() : 0;
}

void StartUnitThreads() {
  TheQueuer();
}

void StopUnitThreads() {
  // Take every thread still alive out of the registry first, so that none frees itself
  // under our hands, then end and free them here.
  std::map<TSafeThread*, std::unique_ptr<TSafeThread>> alive;
  {
    TThreadRegistry& registry = Registry();
    std::lock_guard lock(registry.Guard);
    alive.swap(registry.Objects);
  }
  for (auto& entry : alive) entry.second->Stop(true, true, false);
  alive.clear();
  std::unique_ptr<TNotifyQueuer> old;
  {
    std::lock_guard lock(QueuerGuard);
    old = std::move(Queuer);
  }
}
