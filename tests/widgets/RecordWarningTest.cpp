// The window's warning about a calibration record that cannot be written: shown
// once through the dialog point, after the tick, however many devices follow.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <memory>
#include <string>
#include <vector>

#include "app/widgets/MainForm.h"
#include "support/Dialogs.h"
#include "tests/common/RecordingDialogs.h"

namespace {

TEST(MainWindowRecord, UnwritableRecordWarnsOnceAfterTheTick) {
  TDialogScope dialogs;
  const std::vector<TDialogCall>& seen = dialogs.Handler->Calls;
  {
    TMainForm form;
    TCycleView& view = form;
    view.RecordNotWritten("/no/such/folder/calibration-record.jsonl", "No such file or directory");
    EXPECT_TRUE(seen.empty());  // not in the middle of the device's tick
    QCoreApplication::processEvents();
    view.RecordNotWritten("/no/such/folder/calibration-record.jsonl", "No such file or directory");
    QCoreApplication::processEvents();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen.front().Kind, mkWarning);
    EXPECT_NE(seen.front().Text.find("/no/such/folder"), std::string::npos);
  }
}

}  // namespace
