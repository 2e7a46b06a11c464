#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <random>
#include <thread>

#include "support/Settings.h"
#include "support/Textlogger.h"
#include "support/Threads.h"
#include "tests/support/SettingsTestSupport.h"

namespace {

// ---------------------------------------------------------------------------
// Settings, in a temporary per-user store (the fixture in SettingsTestSupport.h)

TEST_F(StaticsTest, EscapingExamples) {
  EXPECT_EQ(EscapeSetting("abc"), "abc");
  // 1 XOR 0 and 1 XOR 1 need markers; then 1 XOR 2 = 3, and later characters XOR 2
  EXPECT_EQ(EscapeSetting(std::string("\x01"
                                      "A",
                                      2)),
            std::string("\x01\x01\x03"
                        "C",
                        4));
  EXPECT_EQ(EscapeSetting(std::string(1, '\0')), std::string("\x01\x01\x02", 3));
  EXPECT_EQ(UnescapeSetting(std::string("\x01\x01\x03"
                                        "C",
                                        4)),
            std::string("\x01"
                        "A",
                        2));
}

TEST_F(StaticsTest, StoredFormNeverHoldsZeroOrOneAndRoundTrips) {
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  std::mt19937 random(12345);
  std::vector<std::string> texts = {"", all, std::string(600, '\x01'), std::string(600, '\0')};
  for (int n = 0; n < 50; ++n) {
    std::string text;
    for (int i = 0; i < 64; ++i) text += static_cast<char>(random() % 4);  // dense 0..3
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    const std::string stored = EscapeSetting(text);
    EXPECT_EQ(stored.find('\0'), std::string::npos);
    EXPECT_EQ(UnescapeSetting(stored), text);
  }
}

TEST_F(StaticsTest, ValuesRoundTripByteForByteThroughTheStore) {
  std::string all;
  for (int c = 255; c >= 0; --c) all += static_cast<char>(c);
  {
    TStatic settings("Kalmeon Energy", "RoundTrip");
    EXPECT_TRUE(settings.WriteSetting("CalMap019", all));
    EXPECT_TRUE(settings.WriteSetting("Plain", "abc"));
    EXPECT_EQ(settings.ReadSetting("Never"), "");
  }
  TStatic again("Kalmeon Energy", "RoundTrip");  // a later run
  EXPECT_EQ(again.ReadSetting("CalMap019"), all);
  EXPECT_EQ(again.ReadSetting("Plain"), "abc");
  EXPECT_EQ(RawValue("RoundTrip", "Settings/Plain"), "abc");
}

TEST_F(StaticsTest, UntouchedStoreIsRemovedAndWrittenOneKept) {
  { TStatic untouched("Kalmeon Energy", "Untouched"); }
  EXPECT_FALSE(StoreExists("Untouched"));

  ReplaceSettings("Kalmeon Energy", "Written");
  EXPECT_TRUE(GlobalSettings().WriteSetting("Name", "v"));
  ReplaceSettings("Kalmeon Energy", "Other");  // frees the first instance
  EXPECT_TRUE(StoreExists("Written"));
  StopUnitSettings();
  EXPECT_FALSE(StoreExists("Other"));
  EXPECT_TRUE(StoreExists("Written"));
}

// ---------------------------------------------------------------------------
// Text logger

TEST(Textlogger, EntriesGoNewestFirstWithTheirTimeLine) {
  auto lines = std::make_unique<TLogLines>();
  TLogLines* log = lines.get();
  EXPECT_EQ(SetLogDestination(std::move(lines)), nullptr);
  LogText("first");
  LogText("second");
  ASSERT_EQ(log->Lines.size(), 4u);
  EXPECT_EQ(log->Lines[0], "second");
  EXPECT_EQ(log->Lines[2], "first");
  const std::string& stamp = log->Lines[1];
  ASSERT_GE(stamp.size(), 9u);
  EXPECT_EQ(stamp.substr(stamp.size() - 9), "_______  ");
  SetLogDestination(nullptr);
  LogText("nowhere");  // no destination: nothing happens
}

TEST(Textlogger, LineLimitDropsTheOldest) {
  auto lines = std::make_unique<TLogLines>(4);
  TLogLines* log = lines.get();
  SetLogDestination(std::move(lines));
  for (const char* text : {"a", "b", "c"}) LogText(text);
  ASSERT_EQ(log->Lines.size(), 4u);
  EXPECT_EQ(log->Lines[0], "c");
  EXPECT_EQ(log->Lines[2], "b");
  SetLogDestination(nullptr);
}

// A destination that holds the first writer inside LogText until released.
class TBlockingLines : public TLogLines {
 public:
  void AddEntry(const std::string& entry) override {
    Inside.Set();
    MayLeave.Wait(2000);
    TLogLines::AddEntry(entry);
  }
  TEvent Inside;
  TEvent MayLeave;
};

TEST(Textlogger, MessageFromAnotherThreadWhileLoggingIsDropped) {
  auto lines = std::make_unique<TBlockingLines>();
  TBlockingLines* log = lines.get();
  SetLogDestination(std::move(lines));
  std::thread first([] { LogText("kept"); });
  ASSERT_TRUE(log->Inside.Wait(2000));
  const TDateTime start = TClock::now();
  LogText("dropped");  // must not wait for the first writer
  EXPECT_LT(TClock::now() - start, std::chrono::milliseconds(500));
  log->MayLeave.Set();
  first.join();
  ASSERT_EQ(log->Lines.size(), 2u);
  EXPECT_EQ(log->Lines[0], "kept");
  SetLogDestination(nullptr);
}

}  // namespace
