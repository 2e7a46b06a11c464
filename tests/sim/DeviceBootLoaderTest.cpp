// The device's boot loader, reached through a BX2 that passes the line through.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/Simulator.h"
#include "tests/sim/SimTestSupport.h"

namespace {

// Resets the device into its boot loader the way the updater does: flag 7 in the
// S block, the addressed frame carrying 03, then a break.
void EnterBootLoader(TSimulation& sim, TSimTestHost& host) {
  host.SendFrame({0xFF, 'S', 4, 0, 255, 1, 0x14, 0, 4});
  host.Read(100);
  host.Write({0x06, 0x21, 0x00, 0x00, 0x00, 0x00, 0x03, 0xC4});
  host.Read(50);
  sim.Line()->HostSetBreak(true);
  sim.Line()->HostSetBreak(false);
}

// Sends a binary command at 19200 and returns the reply payload (echo and framing removed).
TSimBytes Command(TSimTestHost& host, const TSimBytes& payload) {
  TSimBytes frame = SimBinaryFrame(payload);
  host.Write(frame);
  TSimBytes got = host.Read(300, 40);
  if (got.size() < frame.size() || !std::equal(frame.begin(), frame.end(), got.begin())) return {};
  TSimBinaryAssembler reply;
  for (size_t i = frame.size(); i < got.size(); ++i)
    if (auto p = reply.Feed(got[i], nullptr)) return *p;
  return {};
}

TSimBytes Line74(uint16_t offset, uint8_t fill, const char* mark = "") {
  TSimBytes line(74, fill);
  std::memcpy(line.data() + 6, mark, std::strlen(mark));
  line[70] = static_cast<uint8_t>(offset & 0xFF);
  line[71] = static_cast<uint8_t>(offset >> 8);
  return line;
}

TEST(SimDeviceBootLoader, BinaryCommandsOfTheUpdater) {
  TSimOptions o;
  o.HeartbeatMs = 0;
  o.DeviceBootLoaderVersion = 115;  // above 114: configuration word first
  TSimulation sim(o);
  TSimTestHost host(sim.Line());
  EnterBootLoader(sim, host);
  ASSERT_TRUE(sim.DeviceInBootLoader());
  host.Baud(19200);

  EXPECT_EQ(Command(host, {0x05}), (TSimBytes{'V', 115, 113}));
  EXPECT_EQ(Command(host, {0x03}).size(), 7u);
  TSimBytes config = Command(host, {0x04});
  ASSERT_EQ(config.size(), 37u);
  EXPECT_EQ(config[1], 0x01);       // configuration word
  EXPECT_EQ(config[5 + 22], 0xFF);  // offsets 176..183 hold calibration
  TSimBytes block = Command(host, {0x08, 0xC0, 0x00});
  ASSERT_EQ(block.size(), 65u);
  EXPECT_EQ(block[0], 'O');
  EXPECT_EQ(block[1 + 4], 0xEB);  // word 0x21C4 = 1003
  EXPECT_EQ(block[1 + 5], 0x03);

  // Authorisation: "KE" for the 2-byte marker form, "AUTH" for the 4-byte one.
  EXPECT_EQ(Command(host, {0x00, 0x4B, 0x45, 1, 2, 3, 4, 0x01}), TSimBytes{'N'});
  EXPECT_EQ(Command(host, {0x06, 0x41, 0x55, 0x54, 0x48, 0x01}), TSimBytes{'N'});
  EXPECT_EQ(Command(host, {0x06, 0x41, 0x55, 0x54, 0x00, 0x01}), TSimBytes{'E'});

  TSimBytes data{0x02};
  TSimBytes dataLine = Line74(0x40, 0x5A);
  data.insert(data.end(), dataLine.begin(), dataLine.end());
  EXPECT_EQ(Command(host, data), TSimBytes{'N'});
  EXPECT_EQ(sim.ReadWord(0x2140), 0x5A5A);
  TSimBytes code{0x01};
  TSimBytes codeLine = Line74(0, 0x33, "VER=2606210");
  code.insert(code.end(), codeLine.begin(), codeLine.end());
  EXPECT_EQ(Command(host, code), TSimBytes{'N'});

  host.Write(SimBinaryFrame({0x07}));
  host.Read(100);
  EXPECT_FALSE(sim.DeviceInBootLoader());
  EXPECT_EQ(sim.DeviceVersion(), 2606210u);
}

TEST(SimDeviceBootLoader, TextBootLoaderStreamsUntilAnswered) {
  TSimOptions o;
  o.HeartbeatMs = 0;
  o.DeviceBootLoaderText = true;
  o.DeviceBootLoaderBaud = 9600;
  TSimulation sim(o);
  TSimTestHost host(sim.Line());
  EnterBootLoader(sim, host);
  host.Baud(9600);
  TSimBytes stream = host.Read(400, 40);
  ASSERT_GE(stream.size(), 2u);
  EXPECT_EQ(stream[0], 0x55);
  host.Write({0xAA, 0xFF, 0xAA, 0xFF, 0xAA});
  host.Read(200, 60);  // echo and the last of the stream
  EXPECT_TRUE(host.Read(150).empty());
  host.Write({'V'});
  EXPECT_EQ(host.Read(),
            (TSimBytes{'V', 0x03, 'V', 113, 113, static_cast<uint8_t>(0 - 'V' - 226)}));
}

}  // namespace
