// Ports where every number names a COM device: the built-in table and the text for a
// number whose device is absent.

#include <gtest/gtest.h>

#include <string>

#include "serial/PortMap.h"
#include "serial/SerialPort.h"
#include "tests/serial/SerialTestSupport.h"

std::string BuiltInPathOfPort33() {
  return "\\\\.\\COM33";
}

TEST_F(PortMapping, BuiltInTableAndRange) {
  const struct {
    int N;
    const char* Path;
  } table[] = {
      {1, "\\\\.\\COM1"}, {33, "\\\\.\\COM33"}, {256, "\\\\.\\COM256"}, {0, ""}, {257, ""}};
  for (const auto& row : table) EXPECT_EQ(PortPath(row.N), row.Path) << row.N;
}

TEST_F(PortMapping, UnmappedNumberSaysNoDeviceIsThereAndWhereItLooked) {
  TRS232o port;
  EXPECT_FALSE(port.Open(250, 1200, 'N', 1024, 1024));
  EXPECT_EQ(OpenFailureText(port.LastOpenError()),
            "There is no serial device at Com 250 (\\\\.\\COM250). The port folder " +
                Folder.path().toStdString() +
                " has no entry com250; \\\\.\\COM250 is the built-in table's device for 250.");
}
