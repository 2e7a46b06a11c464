// The window's warning about a calibration record that cannot be written: shown
// once through the dialog point, after the tick, however many devices follow.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <memory>
#include <string>
#include <vector>

#include "app/widgets/MainForm.h"
#include "support/Dialogs.h"

namespace {

class TCountingDialogs : public TDialogHandler {
 public:
  void PlainMessage(const std::string&, const std::string&) override {}
  int MessageDialog(const std::string& text, TMessageKind kind, uint16_t, int32_t) override {
    Shown.push_back({text, kind});
    return drOK;
  }
  int FileDialog(bool, const std::string&, const std::string&, const std::string&,
                 std::string&) override {
    return drCancel;
  }
  int InputQuery(const std::string&, const std::string&, std::string&) override { return drCancel; }
  std::vector<std::pair<std::string, TMessageKind>> Shown;
};

TEST(MainWindowRecord, UnwritableRecordWarnsOnceAfterTheTick) {
  auto dialogs = std::make_unique<TCountingDialogs>();
  TCountingDialogs* seen = dialogs.get();
  auto previous = SetDialogHandler(std::move(dialogs));
  {
    TForm1 form;
    TCycleView& view = form;
    view.RecordNotWritten("/no/such/folder/calibration-record.jsonl", "No such file or directory");
    EXPECT_TRUE(seen->Shown.empty());  // not in the middle of the device's tick
    QCoreApplication::processEvents();
    view.RecordNotWritten("/no/such/folder/calibration-record.jsonl", "No such file or directory");
    QCoreApplication::processEvents();
    ASSERT_EQ(seen->Shown.size(), 1u);
    EXPECT_EQ(seen->Shown.front().second, mkWarning);
    EXPECT_NE(seen->Shown.front().first.find("/no/such/folder"), std::string::npos);
  }
  SetDialogHandler(std::move(previous));
}

}  // namespace
