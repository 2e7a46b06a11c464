// The simulated inverter/charger behind a BX2: versions, memory commands, the
// EEPROM write switch, and the variable requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "sim/Simulator.h"
#include "tests/sim/SimTestSupport.h"

namespace {

std::vector<TSimBytes> One(const TSimBytes& reply) {
  return {reply};
}

class SimDevice : public ::testing::Test {
 protected:
  void Start(TSimOptions o) {
    o.HeartbeatMs = 0;
    Sim = std::make_unique<TSimulation>(o);
    Host = std::make_unique<TSimTestHost>(Sim->Line());
  }
  // Sends a request wrapped in an 'X' frame and returns the reply payloads.
  std::vector<TSimBytes> Ask(const TSimBytes& request, int ms = 150) {
    // Room made first: growing a two-byte vector by insert trips GCC 12's -Warray-bounds.
    TSimBytes payload;
    payload.reserve(request.size() + 2);
    payload.push_back(0xFF);
    payload.push_back('X');
    payload.insert(payload.end(), request.begin(), request.end());
    Host->SendFrame(payload);
    std::vector<TSimBytes> frames;
    TSimBytes got = Host->Read(ms, 40);
    for (size_t i = 0; i < got.size();) {
      size_t n = got[i] & 0x7F;
      if (i + n + 2 > got.size()) break;
      EXPECT_EQ(SimSum(&got[i], n + 2), 0);
      frames.emplace_back(got.begin() + static_cast<long>(i) + 3,
                          got.begin() + static_cast<long>(i + n) + 1);
      i += n + 2;
    }
    return frames;
  }
  std::unique_ptr<TSimulation> Sim;
  std::unique_ptr<TSimTestHost> Host;
};

TEST_F(SimDevice, ReportsItsVersionInEachForm) {
  struct {
    TSimVersionForm Form;
    uint32_t Version;
    TSimBytes First, Second;
  } cases[] = {
      {TSimVersionForm::Full32, 2606207, {0x82, 0x7F, 0xC4, 0x27, 0x00}, {0x83, 0x27, 0x00}},
      {TSimVersionForm::Split16, 2606207, {0x82, 0x7F, 0xC4}, {0x83, 0x27, 0x00}},
      {TSimVersionForm::HexDigits, 1940203, {0x82, 0x03, 0x02, 0x94, 0x01}, {0x83, 0x94, 0x01}},
  };
  for (const auto& c : cases) {
    TSimOptions o;
    o.VersionForm = c.Form;
    o.DeviceVersion = c.Version;
    Start(o);
    EXPECT_EQ(Ask({0x05}), std::vector<TSimBytes>{c.First});
    EXPECT_EQ(Ask({0x06}), std::vector<TSimBytes>{c.Second});
  }
}

TEST_F(SimDevice, NonVolatileWordsKeepWritesOnlyWhileTheSwitchIsOn) {
  Start({});
  Ask({0x0B, 0xC3, 0x12});
  Ask({0x0B, 0xC2, 0x34});
  EXPECT_EQ(Sim->ReadWord(0x21C2), 0x01C2);  // refused: the switch is off
  Ask({0x12, 0x00, 0xFF});                   // controller type 2: 0x10 + page 2 = address 512
  EXPECT_TRUE(Sim->EepromWritesEnabled());
  Ask({0x0B, 0xC3, 0x12});
  Ask({0x0B, 0xC2, 0x34});
  EXPECT_EQ(Sim->ReadWord(0x21C2), 0x1234);
  EXPECT_EQ(Ask({0x07, 0xC2, 0x21}), One({0x84, 0x34, 0x12}));
  EXPECT_EQ(Ask({0x07, 0xC4, 0x21}), One({0x84, 0xEB, 0x03}));  // 1003
  Ask({0x12, 0x00, 0x00});
  EXPECT_FALSE(Sim->EepromWritesEnabled());
  auto writes = Sim->Writes();
  ASSERT_EQ(writes.size(), 6u);
  EXPECT_FALSE(writes[0].Kept);
  EXPECT_TRUE(writes[3].Kept);
  EXPECT_EQ(writes[3].Address, 0x21C3);
  EXPECT_EQ(Sim->ChangedWords(), (std::vector<std::pair<uint16_t, uint16_t>>{{0x21C2, 0x1234}}));
}

TEST_F(SimDevice, HonoursTheControllerTypeOfItsFirmware) {
  TSimOptions o;
  o.DeviceVersion = 1540150;  // family 15: controller type 1, switch at 1279
  Start(o);
  Ask({0x09, 0x20, 0x07});  // byte to 0x0120
  Ask({0x0A, 0x20, 0x15});  // bit 2 of 0x0120 set
  Ask({0x11, 0x20, 0xFF});  // a type 2 command: ignored
  EXPECT_EQ(Sim->ReadByte(0x0120), 0x07 | 0x04);
  Ask({0x0A, 0x20, 0x05});  // bit 2 cleared
  EXPECT_EQ(Sim->ReadByte(0x0120), 0x03);
  EXPECT_EQ(Sim->Writes().size(), 3u);
}

TEST_F(SimDevice, AnswersVariableAndSettingRequests) {
  Start({});
  EXPECT_EQ(Ask({0x30, 0x02, 0x00}), One({0x85, 207, 0}));
  Ask({0x33, 0x05, 0x00});  // select setting 5 for writing
  EXPECT_EQ(Ask({0x34, 0x39, 0x05}), One({0x88, 0x39, 0x05}));
  EXPECT_EQ(Sim->Setting(5), 0x0539);
  EXPECT_EQ(Ask({0x37, 0x00, 0x03, 0x10, 0x00}), One({0x87, 0x10, 0x00}));
  EXPECT_EQ(Sim->RamVariable(3), 0x10);
  // Long information answers: RAM variable in one frame of two, setting in 4 + 1.
  EXPECT_EQ(Ask({0x36, 0x01, 0x00}), One({0x8E, 0x0A, 0x80, 0x8F, 0x00, 0x00}));
  auto info = Ask({0x35, 0x00, 0x00});
  ASSERT_EQ(info.size(), 2u);
  EXPECT_EQ(info[0].size(), 12u);
  EXPECT_EQ(info[0][9], 0x8C);
  EXPECT_EQ(info[1], (TSimBytes{0x8D, 0xFF, 0xFF}));
}

TEST_F(SimDevice, ShortInformationFormAndASilentDevice) {
  TSimOptions o;
  o.VariableInfoShortForm = true;
  Start(o);
  auto info = Ask({0x35, 0x02, 0x00});
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0].size(), 11u);
  Sim->SetDeviceSilent(true);
  EXPECT_TRUE(Ask({0x05}).empty());
}

}  // namespace

namespace {

// Units in turn: each new unit is a fresh device with its own serial number and
// calibration word; the units that left keep what was written to them.
TEST(SimUnits, TheScheduleTakesUnitsAwayAndAttachesFreshOnes) {
  TSimOptions options;
  options.UnitStaysMs = 150;
  options.UnitGapMs = 100;
  options.NextCalibrationSource = 2000;
  options.UnitCount = 2;
  TSimulation sim(options);
  sim.WriteWord(0x21A8, 4242);  // as if the tool had written to the first unit
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  const auto units = sim.Units();
  ASSERT_EQ(units.size(), 2u);  // no third: UnitCount
  EXPECT_FALSE(units[0].Present);
  EXPECT_EQ(units[0].CalibrationSource, 1003);
  EXPECT_EQ(units[1].CalibrationSource, 2000);
  EXPECT_NE(units[0].Serial, units[1].Serial);
  EXPECT_EQ(sim.ReadWord(0x21C4), 2000);
  EXPECT_EQ(sim.ReadWord(0x21A8), 0x01A8);  // fresh data area
  ASSERT_EQ(units[0].ChangedWords.size(), 1u);
  EXPECT_EQ(units[0].ChangedWords[0].second, 4242);
  EXPECT_FALSE(units[1].Present);  // the second has left as well

  sim.AttachNextUnit(777);  // by hand: it stays its time, though the schedule had a change due
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(sim.Units().back().Number, 3);
  EXPECT_TRUE(sim.Units().back().Present);
  EXPECT_EQ(sim.ReadWord(0x21C4), 777);
}

TEST_F(SimDevice, AUnitTakenAwayAnswersNothingAndTheNextOneAnswersWithItsOwnMemory) {
  Start({});
  Sim->TakeUnitAway();
  EXPECT_TRUE(Ask({0x05}).empty());
  Sim->AttachNextUnit(500);
  const std::vector<TSimBytes> expected{{0x84, 0xF4, 0x01}};
  EXPECT_EQ(Ask({0x07, 0xC4, 0x21}), expected);
}

}  // namespace
