// What Linux tells about a port, read from a fake sysfs tree and a fake
// /dev/serial/by-id folder: the USB adapter's facts where the kernel has them, nothing
// made up where it has not, and the stable names that lead to the device.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "serial/PortDetails.h"
#include "serial/PortMap.h"
#include "tests/serial/SerialTestSupport.h"

namespace fs = std::filesystem;

namespace {

class PortDetailsTree : public PortMapping {
 protected:
  void SetUp() override {
    PortMapping::SetUp();
    ASSERT_TRUE(Tree.isValid());
    Root = fs::canonical(Tree.path().toStdString()).string();
    fs::create_directories(Sys() / "class" / "tty");
    fs::create_directories(ById());
    fs::create_directories(Dev());
    setenv("KALMEON_SYSFS_ROOT", Sys().c_str(), 1);
    setenv("KALMEON_SERIAL_BY_ID_DIR", ById().c_str(), 1);
  }
  void TearDown() override {
    unsetenv("KALMEON_SYSFS_ROOT");
    unsetenv("KALMEON_SERIAL_BY_ID_DIR");
    PortMapping::TearDown();
  }
  fs::path Sys() const { return fs::path(Root) / "sys"; }
  fs::path ById() const { return fs::path(Root) / "by-id"; }
  fs::path Dev() const { return fs::path(Root) / "dev"; }

  // A device file `name` whose tty sits in an interface folder below a device folder
  // holding `attributes` (idVendor, serial, ...), as the kernel lays out a USB adapter.
  std::string AddTty(const std::string& name, const std::string& deviceFolder,
                     const std::map<std::string, std::string>& attributes) {
    const fs::path device = Sys() / "devices" / deviceFolder;
    const fs::path interface = device / "1-1:1.0";
    fs::create_directories(interface / name);
    for (const auto& [file, value] : attributes) std::ofstream(device / file) << value << "\n";
    fs::create_directories(Sys() / "class" / "tty" / name);
    fs::create_directory_symlink(interface, Sys() / "class" / "tty" / name / "device");
    const fs::path file = Dev() / name;
    std::ofstream{file};
    return file.string();
  }

  QTemporaryDir Tree;
  std::string Root;
};

TEST_F(PortDetailsTree, UsbFactsAreReadWhereTheKernelHasThemAndLeftOutWhereNot) {
  const std::map<std::string, std::string> full = {{"idVendor", "0403"},
                                                   {"idProduct", "6001"},
                                                   {"manufacturer", "FTDI"},
                                                   {"product", "FT232R USB UART"},
                                                   {"serial", "A1B2C3"}};
  const std::string adapter = AddTty("ttyUSB0", "usb1/1-1", full);
  const std::string noSerial =
      AddTty("ttyACM0", "usb1/1-2", {{"idVendor", "2341"}, {"idProduct", "0043"}});
  const std::string builtIn = AddTty("ttyS0", "platform/serial8250", {});
  const struct {
    std::string Device;
    const char* Text;  // the USB line of PortDetailsText, "" for none
  } rows[] = {
      {adapter, "USB 0403:6001 FTDI FT232R USB UART, serial number A1B2C3"},
      {noSerial, "USB 2341:0043"},
      {builtIn, ""},
      {(Dev() / "ttyUSB9").string(), ""},  // no such tty in sysfs
  };
  for (const auto& row : rows) {
    TPortDetails details;
    details.Usb = UsbFactsOf(row.Device);
    EXPECT_EQ(PortDetailsText(details), row.Text) << row.Device;
  }
  EXPECT_TRUE(UsbFactsOf(noSerial).SerialNumber.empty());
}

// A number linked in the port folder to a stable name shows both the name and the
// device; a number of the device itself shows the stable name beside it.
TEST_F(PortDetailsTree, StableNamesAndTheDeviceBehindThemAreBothShown) {
  const std::string device = AddTty("ttyUSB0", "usb1/1-1", {{"idVendor", "0403"}});
  const std::string stable = (ById() / "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0").string();
  fs::create_symlink(device, stable);
  ASSERT_TRUE(LinkPortInFolder(3, stable));
  AssignPortPath(40, device);

  const TPortDetails linked = DescribePort(3, TPortState::psFree);
  EXPECT_EQ(linked.Path, stable);
  EXPECT_EQ(linked.Device, device);
  EXPECT_TRUE(linked.StableNames.empty());  // the path already is the stable name
  EXPECT_EQ(PortDetailsText(linked), stable + " -> " + device + "\nUSB vendor 0403");

  const TPortDetails direct = DescribePort(40, TPortState::psInUse);
  EXPECT_EQ(PortDetailsText(direct), device + "\nalso " + stable + "\nUSB vendor 0403");
}

}  // namespace
