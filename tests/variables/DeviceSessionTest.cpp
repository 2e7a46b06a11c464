// The device session against the simulated equipment: what it reports, the kind of
// each failure, the driver's controller type, and the port it was lent.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "link/BX2Driver.h"
#include "serial/PortMap.h"
#include "serial/SerialPort.h"
#include "sim/Simulator.h"
#include "support/Textlogger.h"
#include "support/Threads.h"
#include "tests/variables/VariableTestSupport.h"
#include "variables/DeviceSession.h"

namespace {

class DeviceSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    StartVariableUnits();
    StartUnitThreads();
    StartUnitTextlogger();
    StartUnitPortMap();
  }
};

struct TSessionCase {
  const char* Name;
  TSimInterface Interface;
  TSimBusMode BusMode;
  uint32_t DeviceVersion;
  uint8_t DeviceAddress;
  bool DeviceSilent;
  TFault Fault;
  TInterfaceKind Kind;
  uint8_t Mode;
  int32_t InterfaceVersion;
  uint8_t ControllerType;
};

TEST_F(DeviceSessionTest, ConnectReportsTheFactsOrTheKindOfFailure) {
  const TSessionCase cases[] = {
      {"BX2 in KMBus mode", TSimInterface::Bx2Working, TSimBusMode::KMBus, 2606207, 5, false,
       TFault::None, TInterfaceKind::BX2, lsKMBus, 1130132, 2},
      {"BX2 in 9-bit mode", TSimInterface::Bx2Working, TSimBusMode::NineBit, 1506100, 0, false,
       TFault::None, TInterfaceKind::BX2, lsKMBus, 1130132, 1},
      {"BX1", TSimInterface::Bx1, TSimBusMode::KMBus, 1506100, 0, false, TFault::None,
       TInterfaceKind::BX1, 0, -1, 1},
      {"silent device", TSimInterface::Bx2Working, TSimBusMode::KMBus, 2606207, 0, true,
       TFault::NoDevice, TInterfaceKind::BX2, lsKMBus, 1130132, 0},
      {"BX2 without firmware", TSimInterface::Bx2BadlyProgrammed, TSimBusMode::KMBus, 2606207, 0,
       false, TFault::NoInterface, TInterfaceKind::BX1, 0, -1, 0},
  };
  for (const TSessionCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TSimOptions options;
    options.Interface = c.Interface;
    options.BusMode = c.BusMode;
    options.DeviceVersion = c.DeviceVersion;
    options.DeviceAddress = c.DeviceAddress;
    TSimulation sim(options);
    sim.SetDeviceSilent(c.DeviceSilent);
    const auto number = static_cast<uint32_t>(sim.RegisterAsPort());
    TDeviceSession session;
    ASSERT_TRUE(session.Open(number));

    const TResult connected = session.Connect();
    EXPECT_EQ(connected.Fault(), c.Fault);
    const TSessionFacts& facts = session.Facts();
    EXPECT_EQ(facts.InterfaceKind, c.Kind);
    EXPECT_EQ(facts.InterfaceMode, c.Mode);
    EXPECT_EQ(facts.InterfaceVersion, c.InterfaceVersion);
    EXPECT_EQ(facts.ControllerType, c.ControllerType);
    if (connected) {
      EXPECT_EQ(facts.DeviceVersion, static_cast<int32_t>(c.DeviceVersion));
      EXPECT_EQ(facts.DeviceAddress, c.DeviceAddress);
      // The driver itself is classified: memory writes need it.
      EXPECT_EQ(session.Driver()->ControllerType, c.ControllerType);
    } else {
      EXPECT_EQ(facts.DeviceVersion, -1);
      EXPECT_EQ(connected.Text(), "No device found on COM" + std::to_string(number) + ".");
    }
  }
}

TEST_F(DeviceSessionTest, PortThatCannotBeOpenedIsUnavailable) {
  TDeviceSession session;
  const TResult opened = session.Open(250);
  EXPECT_EQ(opened.Fault(), TFault::PortUnavailable);
  EXPECT_EQ(opened.Text().rfind("Error opening port: COM250", 0), 0u) << opened.Text();
  EXPECT_EQ(session.Port(), nullptr);
  EXPECT_EQ(session.Connect().Fault(), TFault::NoInterface);
}

TEST_F(DeviceSessionTest, PortThatGoesAwayIsLost) {
  TSimulation sim;
  TDeviceSession session;
  ASSERT_TRUE(session.Open(static_cast<uint32_t>(sim.RegisterAsPort())));
  ASSERT_TRUE(session.Connect());
  sim.Vanish();
  TResult connected = session.ConnectDevice();
  for (int attempt = 0; attempt < 5 && connected.Fault() != TFault::PortLost; ++attempt)
    connected = session.ConnectDevice();
  EXPECT_EQ(connected.Fault(), TFault::PortLost);
  EXPECT_TRUE(session.PortLost());
}

// The updater's case: the session works on the caller's port and leaves it open.
TEST_F(DeviceSessionTest, LentPortOutlivesTheSessionAndItsDriver) {
  TSimulation sim;
  TRS232o port;
  ASSERT_TRUE(OpenServicePort(port, static_cast<uint32_t>(sim.RegisterAsPort())));
  {
    TDeviceSession session(port);
    ASSERT_TRUE(session.Connect(3, TAddressSelection::Always));
    EXPECT_EQ(session.Port(), &port);
    EXPECT_EQ(session.Facts().InterfaceKind, TInterfaceKind::BX2);
  }
  EXPECT_NE(port.PortNumber(), 0u);
  TDeviceSession again(port);
  EXPECT_TRUE(again.Connect());
}

}  // namespace
