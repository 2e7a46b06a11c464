// Port numbers to devices, and the port list for the port choice.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdlib>

#include <gtest/gtest.h>

#include "serial/PortMap.h"
#include "serial/RS232Tools.h"
#include "serial/SerialPort.h"
#include "serial/VirtualLine.h"
#include "support/HardcodedStrings.h"
#include "tests/serial/SerialTestSupport.h"

TEST_F(PortMapping, PrecedenceProcessOverFolderOverTable) {
  ASSERT_TRUE(LinkPortInFolder(33, "/dev/pts/77"));
  EXPECT_EQ(PortPath(33), "/dev/pts/77");
  {
    QFile file(Folder.path() + "/com120");  // a plain file naming the device works too
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("/dev/ttyUSB5\n");
  }
  EXPECT_EQ(PortPath(120), "/dev/ttyUSB5");
  AssignPortPath(33, "/dev/ttyACM3");
  EXPECT_EQ(PortPath(33), "/dev/ttyACM3");
  RegisterVirtualPort(33, std::make_shared<TVirtualLine>());
  EXPECT_EQ(PortPath(33), "virtual");
  EXPECT_TRUE(ResolvePort(33).Line != nullptr);
  UnregisterVirtualPort(33);
  AssignPortPath(33, "");
  EXPECT_EQ(PortPath(33), "/dev/pts/77");
  EXPECT_TRUE(UnlinkPortInFolder(33));
  EXPECT_EQ(PortPath(33), BuiltInPathOfPort33());
}

TEST_F(PortMapping, FreeNumbersForPathsAndLines) {
  EXPECT_EQ(AssignFreePortNumber(BuiltInPathOfPort33()), 33);  // already has a number
  EXPECT_EQ(AssignFreePortNumber("/dev/pts/5"), 97);
  EXPECT_EQ(AssignFreePortNumber("/dev/pts/5"), 97);
  ASSERT_TRUE(LinkPortInFolder(98, "/dev/pts/6"));
  EXPECT_EQ(RegisterVirtualPortAnywhere(std::make_shared<TVirtualLine>()), 99);
  EXPECT_EQ(AssignFreePortNumber(""), 0);
}

TEST_F(PortMapping, ScanWithoutProbingListsEveryNumber) {
  TPortList list = {0};  // the caller's own first entry stays
  std::string text = "old";
  ScanPorts(0, &list, 256, text, false);
  ASSERT_EQ(list.size(), 257u);
  EXPECT_EQ(list[0], 0);
  EXPECT_EQ(list[1], 1);
  EXPECT_EQ(list[256], 256);
  EXPECT_EQ(text.substr(0, 12), "Com 1\rCom 2\r");
  EXPECT_EQ(text.substr(text.size() - 8), "\rCom 256");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 255);
  EXPECT_EQ(text.find('\n'), std::string::npos);

  ScanPorts(0, &list, 0, text, false);
  EXPECT_EQ(text, "");
  EXPECT_EQ(list.size(), 257u);
}

TEST_F(PortMapping, ProbingSkipsAbsentAndMarksHeldPorts) {
  // Ports 1..5 of this test: 1 free, 2 held by this very program, 3 and 4 absent, 5 free.
  auto free1 = std::make_shared<TVirtualLine>();
  auto held2 = std::make_shared<TVirtualLine>();
  auto free5 = std::make_shared<TVirtualLine>();
  RegisterVirtualPort(1, free1);
  RegisterVirtualPort(2, held2);
  AssignPortPath(3, "/nonexistent/tty3");
  AssignPortPath(4, "/nonexistent/tty4");
  RegisterVirtualPort(5, free5);
  TRS232o holder;
  ASSERT_TRUE(holder.Open(2, 1200, 'N', 1024, 1024));

  TPortList list;
  std::string text;
  ScanPorts(0, &list, 5, text, true);
  EXPECT_EQ(text, "Com 1\rCom 2 (in use)\rCom 5");
  EXPECT_EQ(list, (TPortList{1, 2, 5}));
  EXPECT_TRUE(free1->HostState().Open == false);  // probing never keeps a port open

  ScanPorts(2, nullptr, 5, text, true);  // the current port gets no suffix
  EXPECT_EQ(text, "Com 1\rCom 2\rCom 5");
}
