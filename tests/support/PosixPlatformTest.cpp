// What the support layer does its own way on POSIX: a thread that asks to run
// time-critical gets a real-time policy where the process may use one, and reports
// what it really runs with; the settings store is a file; line breaks are LF.

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <atomic>
#include <thread>

#include "support/Textlogger.h"
#include "support/Threads.h"
#include "support/Tools.h"
#include "tests/support/SettingsTestSupport.h"

namespace {

class TProbeThread : public TSafeThread {
 public:
  TProbeThread() = default;
  std::atomic<bool> Looked{false};
  int Policy = -1;
  int RealTimePriority = -1;
  int Nice = 0;

 protected:
  void Execute() override {
    sched_param param{};
    pthread_getschedparam(pthread_self(), &Policy, &param);
    RealTimePriority = param.sched_priority;
    Nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    Looked = true;
    WaitTerminated(-1);
  }
};

// Whether this process may give a thread a real-time policy at all.
bool RealTimePermitted() {
  bool permitted = false;
  std::thread probe([&permitted] {
    sched_param param{};
    param.sched_priority = 1;
    permitted = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
  });
  probe.join();
  return permitted;
}

TProbeThread* StartProbe(bool timeCritical) {
  auto* probe = TSafeThread::Create<TProbeThread>(true);
  if (timeCritical) probe->SetTimeCritical();  // before Resume, as the drivers ask
  probe->Resume();
  while (!probe->Looked) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return probe;
}

}  // namespace

TEST(ThreadPriority, ARunningThreadGetsAndReportsWhatTheSystemPermits) {
  TThreadPtr<TProbeThread> probe(StartProbe(true));
  const TThreadPriority granted = probe->GrantedPriority();
  if (RealTimePermitted()) {
    EXPECT_EQ(granted.Kind, TThreadPriority::tpHighest) << granted.Text;
    EXPECT_EQ(probe->Policy, SCHED_FIFO);
    EXPECT_EQ(probe->RealTimePriority, granted.Level);
  } else {
    EXPECT_NE(granted.Kind, TThreadPriority::tpHighest) << granted.Text;
    EXPECT_EQ(probe->Policy, SCHED_OTHER);
    EXPECT_EQ(probe->Nice, granted.Level);
  }
  EXPECT_FALSE(granted.Text.empty());

  TThreadPtr<TProbeThread> plain(StartProbe(false));
  EXPECT_EQ(plain->GrantedPriority().Kind, TThreadPriority::tpNotAsked);
  EXPECT_EQ(plain->Policy, SCHED_OTHER);
}

// ---- the settings store: one file per title under the per-user folder ---------------

namespace {

QString StoreFile(const QString& root, const char* title) {
  return root + "/Kalmeon Energy/" + title + ".conf";
}

}  // namespace

void RemoveTestStores() {}

bool TestStoreExists(const QString& root, const char* title) {
  return QFile::exists(StoreFile(root, title));
}

QString TestStoreValue(const QString& root, const char* title, const char* key) {
  return QSettings(StoreFile(root, title), QSettings::IniFormat).value(key).toString();
}

TEST_F(StaticsTest, UntouchedStoreLeavesNoFolderBehind) {
  { TStatic untouched("Kalmeon Energy", "Untouched"); }
  EXPECT_FALSE(QDir(Store.path() + "/Kalmeon Energy").exists());
}

// A registry key cannot be blocked this way, so this case is the file store's own.
TEST_F(StaticsTest, UnusableStoreReadsEmptyAndWarns) {
  // a directory where the store's file should be: it can be neither read nor written
  ASSERT_TRUE(QDir().mkpath(StoreFile(Store.path(), "Blocked")));
  auto lines = std::make_unique<TLogLines>();
  TLogLines* log = lines.get();
  SetLogDestination(std::move(lines));
  {
    TStatic settings("Kalmeon Energy", "Blocked");
    EXPECT_FALSE(settings.WriteSetting("Name", "value"));
    EXPECT_EQ(settings.ReadSetting("Name"), "");
  }
  EXPECT_FALSE(log->Lines.empty());
  SetLogDestination(nullptr);
  EXPECT_TRUE(QFileInfo(StoreFile(Store.path(), "Blocked")).isDir());  // left alone
}

// ---- line breaks ----------------------------------------------------------------------

TEST(AdjustLineBreaks, EveryBreakBecomesOneLineFeed) {
  EXPECT_EQ(AdjustLineBreaks("a\rb\r\nc\nd\r\r"), "a\nb\nc\nd\n\n");
}
