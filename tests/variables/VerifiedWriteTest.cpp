// The verified write's attempts and reads back, over a scripted driver.

#include <gtest/gtest.h>

#include "link/ProtocolCodes.h"
#include "tests/variables/VariableTestSupport.h"
#include "variables/DeviceAccess.h"

namespace {

struct TVerifiedWriteCase {
  const char* Name;
  TAfterRefusal AfterRefusal;
  std::deque<bool> Confirms;
  std::deque<std::string> Replies;
  bool Result;
  size_t FramesSent;
};

TEST(VerifiedWrite, ReadsBackAfterARefusedWriteOnlyWhenAsked) {
  StartVariableUnits();
  const std::string stored = Bytes({dev::MemoryValue, 0x2A});
  const std::deque<bool> everyWriteRefused(5, false);
  const TVerifiedWriteCase cases[] = {
      // 5 rounds of a write and 5 reads
      {"read back, nothing answers", TAfterRefusal::ReadBack, everyWriteRefused, {}, false, 30},
      {"write again, nothing answers", TAfterRefusal::WriteAgain, everyWriteRefused, {}, false, 5},
      {"read back, acknowledgement lost", TAfterRefusal::ReadBack, {false}, {stored}, true, 2},
      {"write again, acknowledgement lost", TAfterRefusal::WriteAgain, {false}, {stored}, true, 3},
  };
  for (const TVerifiedWriteCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TFakeDriverPtr driver = MakeFakeDriver();
    driver->Confirms = c.Confirms;
    driver->Replies = c.Replies;
    TExtendedVariable variable(QStringLiteral("0 W"), false);
    variable.Address = 0x21A8;
    variable.DataType = dtByte;
    variable.SetRawValue(0x2A);
    EXPECT_EQ(WriteDeviceVariable(driver.get(), variable, {}, c.AfterRefusal), c.Result);
    EXPECT_EQ(driver->Sent.size(), c.FramesSent);
  }
}

}  // namespace
