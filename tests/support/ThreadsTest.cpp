#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "support/Threads.h"
#include "tests/common/TestWaits.h"

using namespace std::chrono_literals;

namespace {

class SemaTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartUnitThreads(); }
};

// ---------------------------------------------------------------------------
// Counter, event, lock, deadline, pause

TEST_F(SemaTest, SemaphoreZeroAndNonZeroStatesFollowTheCount) {
  TSemaphore counter;
  EXPECT_TRUE(counter.WaitZero(0));
  EXPECT_FALSE(counter.WaitNonZero(0));
  counter.Add(1);
  EXPECT_FALSE(counter.WaitZero(0));
  EXPECT_TRUE(counter.WaitNonZero(0));
  counter.Add(-1);
  EXPECT_EQ(counter.Count(), 0);
  EXPECT_TRUE(counter.WaitZero(0));
  EXPECT_FALSE(counter.WaitNonZero(0));
  counter.Add(-1);  // below zero is "non-zero" too
  EXPECT_EQ(counter.Count(), -1);
  EXPECT_TRUE(counter.WaitNonZero(0));
  EXPECT_FALSE(counter.WaitZero(0));
}

TEST_F(SemaTest, SemaphoreWaitTimesOutOrWakesOnAdd) {
  TSemaphore counter;
  const TDateTime start = TClock::now();
  EXPECT_FALSE(counter.WaitNonZero(120));
  EXPECT_GE(MsSince(start), 120);

  std::thread producer([&counter] {
    std::this_thread::sleep_for(40ms);
    counter.Add(1);
  });
  const TDateTime waitStart = TClock::now();
  EXPECT_TRUE(counter.WaitNonZero(10000));
  EXPECT_LT(MsSince(waitStart), 5000);  // woken by the Add, not by the time-out
  producer.join();
  EXPECT_EQ(counter.Count(), 1);
}

TEST_F(SemaTest, EventIsManualReset) {
  TEvent event;
  EXPECT_FALSE(event.Wait(20));
  event.Set();
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(0));  // stays set until Reset
  event.Reset();
  EXPECT_FALSE(event.IsSet());
  std::thread setter([&event] {
    std::this_thread::sleep_for(30ms);
    event.Set();
  });
  EXPECT_TRUE(event.Wait(2000));
  setter.join();
}

TEST_F(SemaTest, LockTryFailsWhileAnotherThreadHoldsItAndOwnerMayReenter) {
  TLock lock;
  ASSERT_TRUE(lock.Acquire(true));
  EXPECT_TRUE(lock.Acquire(false));  // owner again
  bool otherGot = true;
  std::thread other([&] { otherGot = lock.Acquire(false); });
  other.join();
  EXPECT_FALSE(otherGot);
  lock.Release();
  lock.Release();
  std::thread after([&] {
    otherGot = lock.Acquire(false);
    if (otherGot) lock.Release();
  });
  after.join();
  EXPECT_TRUE(otherGot);
}

TEST_F(SemaTest, DelayCheckerExpiresOnlyAfterItsDue) {
  TDelayChecker immediate(0);
  std::this_thread::sleep_for(2ms);
  EXPECT_TRUE(immediate.Expired());
  TDelayChecker later(300);
  EXPECT_FALSE(later.Expired());
  EXPECT_GE(later.Due - TClock::now(), 250ms);
}

TEST_F(SemaTest, PauseIsNotEndedBySignalledEvents) {
  TEvent event;
  TSemaphore counter;
  std::thread signaller([&] {
    for (int i = 0; i < 10; ++i) {
      event.Set();
      counter.Add(1);
      std::this_thread::sleep_for(5ms);
    }
  });
  const TDateTime start = TClock::now();
  Pause(200);
  EXPECT_GE(MsSince(start), 200);
  signaller.join();
}

// ---------------------------------------------------------------------------
// TSafeThread

struct TThreadProbe {
  std::atomic<int> Destroyed{0};
  std::atomic<int> Loops{0};
  std::atomic<int> SyncRuns{0};
  std::atomic<bool> SyncOnMain{true};
  TEvent BodyMayEnd{false};
};

// Polls Terminated, as a bus driver does.
class TPollingThread : public TSafeThread {
 public:
  explicit TPollingThread(TThreadProbe& probe) : Probe(probe) {}
  ~TPollingThread() override { ++Probe.Destroyed; }

 protected:
  void Execute() override {
    while (!Terminated()) {
      ++Probe.Loops;
      WaitTerminated(5);
    }
    ReturnValue = 7;
  }
  TThreadProbe& Probe;
};

// Returns as soon as it is allowed to, whether asked to stop or not.
class TGatedThread : public TSafeThread {
 public:
  explicit TGatedThread(TThreadProbe& probe) : Probe(probe) {}
  ~TGatedThread() override { ++Probe.Destroyed; }

 protected:
  void Execute() override { Probe.BodyMayEnd.Wait(-1); }
  TThreadProbe& Probe;
};

// Calls into the main thread until asked to stop.
class TSyncingThread : public TSafeThread {
 public:
  explicit TSyncingThread(TThreadProbe& probe) : Probe(probe) {}
  ~TSyncingThread() override { ++Probe.Destroyed; }

 protected:
  void Execute() override {
    while (!Terminated()) {
      SyncCall([this] {
        ++Probe.SyncRuns;
        if (QThread::currentThread() != QCoreApplication::instance()->thread())
          Probe.SyncOnMain = false;
      });
      WaitTerminated(2);
    }
  }
  TThreadProbe& Probe;
};

TEST_F(SemaTest, StopQuietWaitFreeEndsAPollingBodyPromptlyAndFreesIt) {
  TThreadProbe probe;
  TPollingThread* thread = TSafeThread::Create<TPollingThread>(false, probe);
  ASSERT_TRUE(WaitUntil([&] { return probe.Loops > 2; }));
  EXPECT_EQ(thread->ExitCode(), ThreadStillActive);
  const TDateTime start = TClock::now();
  thread->Stop(true, true, true);
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_EQ(probe.Destroyed, 1);
}

TEST_F(SemaTest, StopOnAThreadWhoseBodyHasReturnedIsImmediate) {
  TThreadProbe probe;
  probe.BodyMayEnd.Set();
  TGatedThread* thread = TSafeThread::Create<TGatedThread>(false, probe);
  ASSERT_TRUE(WaitUntil([&] { return thread->Finished(); }));
  EXPECT_EQ(thread->ExitCode(), 0u);
  const TDateTime start = TClock::now();
  thread->Stop(true, true, true);
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_EQ(probe.Destroyed, 1);
}

TEST_F(SemaTest, StopWithoutWaitLetsTheBodyFreeItself) {
  TThreadProbe probe;
  TGatedThread* thread = TSafeThread::Create<TGatedThread>(false, probe);
  const TDateTime start = TClock::now();
  thread->Stop(false, false, true);
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_EQ(probe.Destroyed, 0);  // still in its body
  probe.BodyMayEnd.Set();
  EXPECT_TRUE(WaitUntil([&] { return probe.Destroyed == 1; }));
}

TEST_F(SemaTest, StopWithoutWaitAfterTheBodyReturnedStillFrees) {
  TThreadProbe probe;
  probe.BodyMayEnd.Set();
  TGatedThread* thread = TSafeThread::Create<TGatedThread>(false, probe);
  ASSERT_TRUE(WaitUntil([&] { return thread->Finished(); }));
  thread->Stop(false, false, true);
  EXPECT_EQ(probe.Destroyed, 1);
}

TEST_F(SemaTest, SuspendedThreadRunsOnlyAfterResumeAndStopsWithoutIt) {
  TThreadProbe probe;
  TPollingThread* idle = TSafeThread::Create<TPollingThread>(true, probe);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(probe.Loops, 0);
  const TDateTime start = TClock::now();
  idle->Stop(true, true, true);  // never started: nothing to wait for
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_EQ(probe.Destroyed, 1);

  TThreadProbe resumed;
  TThreadPtr<TPollingThread> thread(TSafeThread::Create<TPollingThread>(true, resumed));
  thread->Resume();
  EXPECT_TRUE(WaitUntil([&] { return resumed.Loops > 0; }));
  thread.reset();
  EXPECT_EQ(resumed.Destroyed, 1);
}

TEST_F(SemaTest, SyncCallRunsOnTheMainThreadUntilStopping) {
  TThreadProbe probe;
  TSyncingThread* thread = TSafeThread::Create<TSyncingThread>(false, probe);
  ASSERT_TRUE(WaitUntil([&] { return probe.SyncRuns >= 3; }));
  EXPECT_TRUE(probe.SyncOnMain);
  thread->Stop(true, true, true);
  const int runs = probe.SyncRuns;
  WaitUntil([] { return false; }, 30);
  EXPECT_EQ(probe.SyncRuns, runs);
  EXPECT_EQ(probe.Destroyed, 1);
}

// A synchronised call issued after a quiet Stop must not run: the windows it would
// reach may be closing.
class TLateSyncThread : public TSafeThread {
 public:
  TLateSyncThread(TEvent& go, std::atomic<bool>& ran) : Go(go), Ran(ran) {}

 protected:
  void Execute() override {
    Go.Wait(-1);
    SyncCall([this] { Ran = true; });
  }
  TEvent& Go;
  std::atomic<bool>& Ran;
};

TEST_F(SemaTest, QuietStopSuppressesLaterSyncCalls) {
  TEvent go;
  std::atomic<bool> ran{false};
  TLateSyncThread* thread = TSafeThread::Create<TLateSyncThread>(false, go, ran);
  thread->Stop(true, false, false);
  go.Set();
  thread->Stop(true, true, true);
  EXPECT_FALSE(ran);
}

// A body that stops itself (free without wait) must not wait for its own end.
class TSelfStoppingThread : public TSafeThread {
 public:
  explicit TSelfStoppingThread(TThreadProbe& probe) : Probe(probe) {}
  ~TSelfStoppingThread() override { ++Probe.Destroyed; }

 protected:
  void Execute() override { Stop(false, true, true); }
  TThreadProbe& Probe;
};

TEST_F(SemaTest, BodyStoppingItselfIsFreedWhenItReturns) {
  TThreadProbe probe;
  TSafeThread::Create<TSelfStoppingThread>(false, probe);
  EXPECT_TRUE(WaitUntil([&] { return probe.Destroyed == 1; }));
}

// ---------------------------------------------------------------------------
// Notifications

struct TNotifyTarget {
  std::vector<int> Order;
  std::vector<bool> OnMain;
  void OnNotify(void* sender) {
    Order.push_back(*static_cast<int*>(sender));
    OnMain.push_back(QThread::currentThread() == QCoreApplication::instance()->thread());
  }
};

TEST_F(SemaTest, NotificationsDueInOneTickRunNewestFirst) {
  ASSERT_TRUE(WaitUntil([] { return PendingNotifies() == 0; }));
  TNotifyTarget target;
  int senders[3] = {1, 2, 3};
  for (int& sender : senders)
    PostNotify(&sender, 0, true, NotifyMethod<&TNotifyTarget::OnNotify>(&target));
  ASSERT_TRUE(WaitUntil([&] { return target.Order.size() == 3; }));
  EXPECT_EQ(target.Order, (std::vector<int>{3, 2, 1}));
}

TEST_F(SemaTest, DuplicateNotificationIsDroppedOnlyWhenAsked) {
  ASSERT_TRUE(WaitUntil([] { return PendingNotifies() == 0; }));
  TNotifyTarget target;
  TNotifyTarget otherObject;
  int a = 1;
  int b = 2;
  PostNotify(&a, 50, false, NotifyMethod<&TNotifyTarget::OnNotify>(&target));
  // same code and sender: equal even with another handler object
  PostNotify(&a, 50, false, NotifyMethod<&TNotifyTarget::OnNotify>(&otherObject));
  EXPECT_EQ(PendingNotifies(), 1);
  PostNotify(&b, 50, false, NotifyMethod<&TNotifyTarget::OnNotify>(&target));
  PostNotify(&a, 50, true, NotifyMethod<&TNotifyTarget::OnNotify>(&target));
  EXPECT_EQ(PendingNotifies(), 3);
  ASSERT_TRUE(WaitUntil([&] { return target.Order.size() == 3; }));
  EXPECT_TRUE(otherObject.Order.empty());
}

TEST_F(SemaTest, DelayedNotificationWaitsForItsDue) {
  TNotifyTarget target;
  int sender = 9;
  const TDateTime posted = TClock::now();
  PostNotify(&sender, 300, true, NotifyMethod<&TNotifyTarget::OnNotify>(&target));
  WaitUntil([] { return false; }, 150);
  EXPECT_TRUE(target.Order.empty());
  ASSERT_TRUE(WaitUntil([&] { return !target.Order.empty(); }));
  EXPECT_GE(MsSince(posted), 300);
}

TEST_F(SemaTest, NotificationPostedByAWorkerRunsOnTheMainThread) {
  TNotifyTarget target;
  int sender = 5;
  std::thread worker(
      [&] { PostNotify(&sender, 0, true, NotifyMethod<&TNotifyTarget::OnNotify>(&target)); });
  worker.join();
  ASSERT_TRUE(WaitUntil([&] { return target.Order.size() == 1; }));
  EXPECT_TRUE(target.OnMain[0]);
}

TEST_F(SemaTest, DroppedNotificationsNeverRun) {
  TNotifyTarget target;
  int sender = 4;
  PostNotify(&sender, 20, true, NotifyMethod<&TNotifyTarget::OnNotify>(&target));
  DropNotifies(&target);
  WaitUntil([] { return false; }, 60);
  EXPECT_TRUE(target.Order.empty());
  EXPECT_EQ(PendingNotifies(), 0);
}

}  // namespace
