// Configure reads the line back: a driver that ignores mark and space parity or
// cannot make the rate fails the call with words the user can act on.

#include <gtest/gtest.h>

#include "serial/SerialPort.h"
#include "tests/common/BackendDouble.h"

namespace {

struct TWeakAdapter {
  TWeakAdapter() {
    Line->AttachDevice(std::make_shared<TIdleDevice>());
    EXPECT_TRUE(
        Port.OpenOn(std::make_unique<TBackendDouble>(Line, Knobs), 42, 1200, 'N', 1024, 1024));
  }
  struct TIdleDevice : TVirtualDevice {
    void OnHostByte(TVirtualLine&, const TWireByte&, TLineTime) override {}
    void OnLineChange(TVirtualLine&, const TLineState&, TLineTime) override {}
  };
  std::shared_ptr<TVirtualLine> Line = std::make_shared<TVirtualLine>(false);
  std::shared_ptr<TBackendKnobs> Knobs = std::make_shared<TBackendKnobs>();
  TRS232o Port;
};

}  // namespace

TEST(ConfigureReadBack, ParityAndRateThatDidNotTakeFailWithAdvice) {
  TWeakAdapter adapter;
  TRS232o& port = adapter.Port;
  ASSERT_TRUE(port.Configure(1200, 'S'));
  EXPECT_TRUE(port.LastConfigureError().empty());

  adapter.Knobs->DropMarkSpace = true;
  EXPECT_FALSE(port.Configure(1200, 'M'));
  const std::string words = port.LastConfigureError();
  EXPECT_NE(words.find("Com 42"), std::string::npos) << words;
  EXPECT_NE(words.find("does not support the mark and space parity"), std::string::npos) << words;
  EXPECT_EQ(port.ParityChar(), 'S');       // what was last applied for sure
  EXPECT_TRUE(port.Configure(2400, 'E'));  // other parities still work

  adapter.Knobs->StandardRatesOnly = true;
  EXPECT_TRUE(port.Configure(19200, 'N'));
  EXPECT_FALSE(port.Configure(7680, 'N'));  // the boot loader's rate became 9600
  EXPECT_NE(port.LastConfigureError().find("cannot run at 7680 baud (its driver set 9600 baud)"),
            std::string::npos)
      << port.LastConfigureError();
  EXPECT_EQ(port.Baud(), 19200);
}

TEST(ConfigureReadBack, AnOpenWhoseLineDoesNotTakeFailsWithTheSameWords) {
  auto line = std::make_shared<TVirtualLine>(false);
  auto knobs = std::make_shared<TBackendKnobs>();
  knobs->DropMarkSpace = true;
  TRS232o port;
  EXPECT_FALSE(port.OpenOn(std::make_unique<TBackendDouble>(line, knobs), 43, 1200, 'S', 64, 64));
  EXPECT_EQ(port.PortNumber(), 0u);
  EXPECT_NE(OpenFailureText(port.LastOpenError()).find("mark and space parity"), std::string::npos);
}
