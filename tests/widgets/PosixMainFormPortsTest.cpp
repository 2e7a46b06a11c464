// The facts behind a port number, where the user points at it in the window's list: a
// number linked in the port folder to a stable name shows the name and its device.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFile>
#include <QTemporaryDir>

#include "app/widgets/MainForm.h"
#include "serial/PortMap.h"

namespace {

TEST(MainWindowPorts, TooltipShowsTheStableNameAndTheDeviceBehindIt) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  qputenv("KALMEON_PORTS_DIR", dir.filePath("ports").toUtf8());
  const QString device = dir.filePath("ttyFAKE0");
  const QString stable = dir.filePath("usb-Maker_Adapter_K1-if00-port0");
  QFile(device).open(QIODevice::WriteOnly);
  ASSERT_TRUE(QFile::link(device, stable));
  ASSERT_TRUE(LinkPortInFolder(240, stable.toStdString()));

  TMainForm form;
  form.ScanPortsCheckBox->setChecked(false);  // item n is Com n
  form.RebuildPortList();
  EXPECT_EQ(form.ComPortComboBox->itemData(240, Qt::ToolTipRole).toString(),
            stable + " -> " + device);
  qunsetenv("KALMEON_PORTS_DIR");
}

}  // namespace
