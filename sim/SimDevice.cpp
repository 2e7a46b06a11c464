#include "sim/SimDevice.h"

#include <cstdlib>

#include "sim/SimOutput.h"

namespace {
constexpr uint16_t kDataArea = 0x2100;
constexpr uint16_t kCalSource = 0x21C4;
constexpr uint16_t kCarryStatus = 0x21E0;
constexpr uint16_t kCarryMap = 0x21E1;
constexpr int kRamVarCount = 16;
constexpr int kSettingCount = 74;
constexpr size_t kLineLength = TSimTextCommandAssembler::LineLength;
constexpr uint8_t kAuthMarker2[] = {0x4B, 0x45};
constexpr uint8_t kAuthMarker4[] = {0x41, 0x55, 0x54, 0x48};

uint8_t Lo(unsigned v) {
  return static_cast<uint8_t>(v & 0xFF);
}
uint8_t Hi(unsigned v) {
  return static_cast<uint8_t>((v >> 8) & 0xFF);
}

// The version with its decimal digits read as hexadecimal digits.
uint32_t AsHexDigits(uint32_t decimal) {
  uint32_t result = 0;
  for (int shift = 0; decimal != 0; shift += 4, decimal /= 10) result |= (decimal % 10) << shift;
  return result;
}

// Scale/offset/default/min/max of the simulated settings and variables.
struct TInfo {
  int16_t Scale, Offset;
  uint16_t Default, Min, Max;
};

TInfo SettingInfo(int index) {
  if (index == 0 || index == 1 || index == 61) return {1, 0, 0, 0, 0xFFFF};
  if (index == 60) return {1, 0, 0, 0, 0x000F};  // only flags 49..52 live in this word
  if (index % 3 == 0) return {-100, 0, static_cast<uint16_t>(1000 + index), 0, 5000};
  return {1, 0, static_cast<uint16_t>(10 + index), 0, 1000};
}

TInfo RamVarInfo(int index) {
  if (index == 10) return {3, -32768, 0, 0, 0};      // a one-bit variable: bit 2
  if (index % 2 == 1) return {-32758, 0, 0, 0, 0};   // signed, 1/10
  return {static_cast<int16_t>(32668), 0, 0, 0, 0};  // unsigned, 1/100
}
}  // namespace

TSimDevice::TSimDevice(const TSimOptions& options, TSimStats& stats)
    : Options(options),
      Stats(stats),
      VersionNumber(options.DeviceVersion),
      BootFirmware(options.DeviceBootLoaderFirmwareVersion) {
  Fresh(options.CalibrationSource);
}

void TSimDevice::Fresh(uint16_t calibrationSource) {
  Memory.fill(0);
  // A recognisable data area: each word holds 0x0100 + its offset.
  for (unsigned off = 0; off < 256; off += 2) {
    Memory[kDataArea + off] = Lo(0x0100 + off);
    Memory[kDataArea + off + 1] = Hi(0x0100 + off);
  }
  Memory[kCalSource] = Lo(calibrationSource);
  Memory[kCalSource + 1] = Hi(calibrationSource);
  Memory[kCarryStatus] = 0x00;
  Memory[kCarryMap] = 0xFF;
  for (unsigned off = 0; off < 256; ++off) StartData[off] = Memory[kDataArea + off];
  RamVars.clear();
  Settings.clear();
  for (int i = 0; i < kRamVarCount; ++i) RamVars.push_back(static_cast<uint16_t>(100 * i + 7));
  for (int i = 0; i < kSettingCount; ++i) Settings.push_back(SettingInfo(i).Default);
  WriteLog.clear();
  SelectedClass = -1;
}

void TSimDevice::AttachUnit(uint16_t calibrationSource, uint32_t serial) {
  if (BootLoader) LeaveBootLoader();
  VersionNumber = Options.DeviceVersion;
  SerialNumber = serial;
  Absent = false;
  Fresh(calibrationSource);
}

uint16_t TSimDevice::Word(uint16_t address) const {
  return static_cast<uint16_t>(Memory[address] | (Memory[static_cast<uint16_t>(address + 1)] << 8));
}

int TSimDevice::ControllerType() const {
  uint32_t family = VersionNumber / 100000;
  return (family == 10 || family == 12 || family == 14 || family == 15) ? 1 : 2;
}

// Firmware of minor 200 and above keeps its switch at 512, 141..199 at 1279; older
// firmware has no switch and always writes.
uint16_t TSimDevice::SwitchAddress() const {
  uint32_t minor = VersionNumber % 1000;
  if (minor >= 200) return 0x200;
  if (minor >= 141) return 0x4FF;
  return 0;
}

bool TSimDevice::WritesEnabled() const {
  uint16_t at = SwitchAddress();
  return at == 0 || Memory[at] != 0;
}

std::vector<std::pair<uint16_t, uint16_t>> TSimDevice::ChangedWords() const {
  std::vector<std::pair<uint16_t, uint16_t>> changed;
  for (unsigned off = 0; off < 256; off += 2) {
    if (Memory[kDataArea + off] != StartData[off] ||
        Memory[kDataArea + off + 1] != StartData[off + 1])
      changed.emplace_back(static_cast<uint16_t>(kDataArea + off),
                           Word(static_cast<uint16_t>(kDataArea + off)));
  }
  return changed;
}

void TSimDevice::Store(uint8_t command, uint16_t address, uint8_t value) {
  const bool switchOff = address != 0 && address == SwitchAddress() && value == 0;
  if (switchOff && Options.Faults.LosesSwitchOff) return;
  bool nonVolatile = address >= kDataArea && address <= 0x21FF;
  bool kept = !nonVolatile || WritesEnabled();
  if (kept) Memory[address] = value;
  WriteLog.push_back({command, address, value, kept});
}

std::vector<TSimBytes> TSimDevice::HandleRequest(const TSimBytes& request) {
  if (!Answers() || request.empty()) return {};
  ++Stats.DeviceRequests;
  uint8_t cmd = request[0];
  if (cmd == 0x05 || cmd == 0x06) {
    std::vector<TSimBytes> reply = VersionReply(cmd == 0x05);
    if (Options.Faults.SilentAfterVersion) Silent = true;
    return reply;
  }
  if (cmd == 0x07) {
    if (request.size() < 3) return {};
    uint16_t at = static_cast<uint16_t>(request[1] | (request[2] << 8));
    return {{0x84, Memory[at], Memory[static_cast<uint16_t>(at + 1)]}};
  }
  if ((cmd >= 0x08 && cmd <= 0x0B) || (cmd >= 0x10 && cmd <= 0x2F)) return MemoryWrite(request);
  if (cmd >= 0x30 && cmd <= 0x37) return VariableRequest(request);
  return {};
}

std::vector<TSimBytes> TSimDevice::VersionReply(bool first) const {
  bool hex = Options.VersionForm == TSimVersionForm::HexDigits;
  uint32_t wire = hex ? AsHexDigits(VersionNumber) : VersionNumber;
  if (!first) return {{0x83, Lo(wire >> 16), Hi(wire >> 16)}};
  if (Options.VersionForm == TSimVersionForm::Split16) return {{0x82, Lo(wire), Hi(wire)}};
  TSimBytes reply{0x82, Lo(wire), Hi(wire), Lo(wire >> 16), Hi(wire >> 16)};
  reply.insert(reply.end(), Options.VersionText.begin(), Options.VersionText.end());
  return {reply};
}

// Memory writes: [command, address byte, data]. Which commands the device takes
// depends on its controller type; 0x0B always reaches the data area.
std::vector<TSimBytes> TSimDevice::MemoryWrite(const TSimBytes& request) {
  if (request.size() < 3) return {};
  uint8_t cmd = request[0], low = request[1], data = request[2];
  int type = ControllerType();
  if (cmd == 0x0B) {
    Store(cmd, static_cast<uint16_t>(kDataArea + low), data);
  } else if (type == 1 && (cmd == 0x08 || cmd == 0x09)) {
    Store(cmd, static_cast<uint16_t>(((cmd - 0x08) << 8) | low), data);
  } else if (type == 1 && cmd == 0x0A) {
    uint16_t at = static_cast<uint16_t>(((data & 1) << 8) | low);
    int bit = (data >> 1) & 7;
    uint8_t v = (data & 0x10) ? Memory[at] | (1 << bit) : Memory[at] & ~(1 << bit);
    Store(cmd, at, static_cast<uint8_t>(v));
  } else if (type == 2 && cmd >= 0x10 && cmd <= 0x1F) {
    Store(cmd, static_cast<uint16_t>(((cmd - 0x10) << 8) | low), data);
  } else if (type == 2 && cmd >= 0x20 && cmd <= 0x2F) {
    uint16_t at = static_cast<uint16_t>(((cmd - 0x20) << 8) | low);
    int bit = (data >> 1) & 7;
    uint8_t v = (data & 0x10) ? Memory[at] | (1 << bit) : Memory[at] & ~(1 << bit);
    Store(cmd, at, static_cast<uint8_t>(v));
  }
  return {};  // memory writes are not answered
}

uint16_t* TSimDevice::Variable(bool setting, int index) {
  if (setting)
    return index >= 0 && index < kSettingCount ? &Settings[static_cast<size_t>(index)] : nullptr;
  return index >= 0 && index < kRamVarCount ? &RamVars[static_cast<size_t>(index)] : nullptr;
}

std::vector<TSimBytes> TSimDevice::InfoReply(bool setting, int index) const {
  TInfo info = setting ? SettingInfo(index) : RamVarInfo(index);
  auto s = static_cast<uint16_t>(info.Scale), o = static_cast<uint16_t>(info.Offset);
  if (!setting) {
    if (Options.VariableInfoShortForm) return {{0x8E, Lo(s), Hi(s), Lo(o), Hi(o)}};
    return {{0x8E, Lo(s), Hi(s)}, {0x8F, Lo(o), Hi(o)}};
  }
  if (Options.VariableInfoShortForm)
    return {{0x89, Lo(s), Hi(s), Lo(o), Hi(o), Lo(info.Default), Hi(info.Default), Lo(info.Min),
             Hi(info.Min), Lo(info.Max), Hi(info.Max)}};
  return {{0x89, Lo(s), Hi(s)},
          {0x8A, Lo(o), Hi(o)},
          {0x8B, Lo(info.Default), Hi(info.Default)},
          {0x8C, Lo(info.Min), Hi(info.Min)},
          {0x8D, Lo(info.Max), Hi(info.Max)}};
}

// RAM variables and settings by index: 0x30/0x31 read, 0x32/0x33 select for a
// write that 0x34 completes, 0x35/0x36 information, 0x37 combined write.
std::vector<TSimBytes> TSimDevice::VariableRequest(const TSimBytes& request) {
  uint8_t cmd = request[0];
  int index = request.size() >= 2 ? request[1] : -1;
  if (request.size() >= 3 && cmd <= 0x33) index |= request[2] << 8;
  if (cmd == 0x30 || cmd == 0x31) {
    uint16_t* v = Variable(cmd == 0x31, index);
    if (!v) return {};
    return {{static_cast<uint8_t>(cmd == 0x30 ? 0x85 : 0x86), Lo(*v), Hi(*v)}};
  }
  if (cmd == 0x32 || cmd == 0x33) {
    SelectedClass = Variable(cmd == 0x33, index) ? cmd - 0x32 : -1;
    SelectedIndex = index;
    return {};
  }
  if (cmd == 0x34) {
    if (request.size() < 3 || SelectedClass < 0) return {};
    uint16_t* v = Variable(SelectedClass == 1, SelectedIndex);
    if (!v) return {};
    *v = static_cast<uint16_t>(request[1] | (request[2] << 8));
    uint8_t code = SelectedClass == 1 ? 0x88 : 0x87;
    return {{code, request[1], request[2]}};
  }
  if (cmd == 0x35 || cmd == 0x36) {
    if (!Variable(cmd == 0x35, index)) return {};
    return InfoReply(cmd == 0x35, index);
  }
  if (cmd == 0x37 && request.size() >= 5) {
    uint16_t* v = Variable(request[1] == 1, request[2]);
    if (!v) return {};
    *v = static_cast<uint16_t>(request[3] | (request[4] << 8));
    return {{static_cast<uint8_t>(request[1] == 1 ? 0x88 : 0x87), request[3], request[4]}};
  }
  return {};
}

TSimBytes TSimDevice::DeviceInfo() const {
  const uint32_t serial = SerialNumber;
  return {0x20,
          Lo(serial),
          Hi(serial),
          Lo(serial >> 16),
          Hi(serial >> 16),
          0x01,
          Options.DeviceAddress,
          Lo(VersionNumber),
          Hi(VersionNumber),
          Lo(VersionNumber >> 16),
          Hi(VersionNumber >> 16)};
}

// ---- boot loader ------------------------------------------------------------

void TSimDevice::EnterBootLoader(TLineTime now) {
  BootLoader = true;
  BootConnected = false;
  AwaitingStartHandshake = false;
  BootBaud = Options.DeviceBootLoaderText ? Options.DeviceBootLoaderBaud : 0;
  NextStream = now + std::chrono::milliseconds(200);
  Binary.Reset();
  TextCommands.Reset();
  Programmed.clear();
}

void TSimDevice::PowerCycle() {
  if (!BootLoader) return;
  if (Broken)
    StartOver(LastBootCommand);
  else
    LeaveBootLoader();
}

// A part that broke off leaves no firmware to start: the boot loader begins again
// and waits for a host as after a reset.
void TSimDevice::StartOver(TLineTime now) {
  EnterBootLoader(now);
  LinesTaken = 0;
}

void TSimDevice::LeaveBootLoader() {
  BootLoader = false;
  LinesTaken = 0;
  uint32_t programmed = SimFindVersionMark(Programmed);
  if (programmed != 0) VersionNumber = programmed;
}

// The text boot loader announces itself with "U" bytes at its rate until a host
// answers the stream. A boot loader that took lines and then hears nothing for a
// second starts the firmware, as the user's reset would; after a broken part it
// starts over instead.
void TSimDevice::BootTick(TLineTime now, TSimOutput& out, bool lineOpen) {
  if (BootLoader && LinesTaken > 0 && now - LastBootCommand > std::chrono::seconds(1)) {
    if (Broken)
      StartOver(now);
    else
      LeaveBootLoader();
  }
  if (!BootLoader || !lineOpen || !Options.DeviceBootLoaderText || BootConnected ||
      now < NextStream)
    return;
  out.Raw(TSimBytes(4, 0x55), BootBaud, now);
  NextStream = now + std::chrono::milliseconds(20);
}

void TSimDevice::BootReply(const TSimBytes& body, bool text, TLineTime at, TSimOutput& out) {
  auto when = at + std::chrono::milliseconds(2);
  if (text) {
    out.Frame(body.size() == 1 && body[0] != 'V' ? body : SimCountedReply(body), BootBaud, when);
  } else {
    out.Frame(SimBinaryFrame(body), BootBaud, when);
  }
}

// A programmed boot loader replacement (a "BFV=" mark in its lines) starts on the
// restart instead of the firmware: it announces itself with AA AA and takes
// commands again once the host answers 55 FF 55 FF 55.
void TSimDevice::StartNewBootLoader(uint8_t firmware, TLineTime at, TSimOutput& out) {
  BootFirmware = firmware;
  Programmed.clear();
  LinesTaken = 0;
  AwaitingStartHandshake = true;
  StartHandshake.clear();
  out.Raw({0xAA, 0xAA}, BootBaud, at + std::chrono::milliseconds(50));
}

void TSimDevice::TakeStartHandshake(uint8_t value) {
  static const TSimBytes answer{0x55, 0xFF, 0x55, 0xFF, 0x55};
  StartHandshake.push_back(value);
  if (StartHandshake.size() > answer.size()) StartHandshake.erase(StartHandshake.begin());
  if (StartHandshake != answer) return;
  AwaitingStartHandshake = false;
  BootConnected = false;
  Binary.Reset();
  TextCommands.Reset();
}

void TSimDevice::BootByte(const TWireByte& byte, TLineTime at, TSimOutput& out) {
  if (!BootLoader) return;
  if (AwaitingStartHandshake) {
    TakeStartHandshake(byte.Value);
    return;
  }
  if (Options.DeviceBootLoaderText) {
    if (byte.Baud != BootBaud) return;
    if (!BootConnected) {
      if (byte.Value == 0xAA) BootConnected = true;  // the host answered the stream
      return;
    }
    if (auto command = TextCommands.Feed(byte.Value)) BootCommand(*command, true, at, out);
    return;
  }
  if (byte.Baud != 19200 && byte.Baud != 115200) return;
  BootBaud = byte.Baud;
  bool bad = false;
  auto payload = Binary.Feed(byte.Value, &bad);
  if (bad) BootReply({'E'}, false, at, out);
  if (payload && !payload->empty()) BootCommand(*payload, false, at, out);
}

// One boot loader command. Text commands are letters, binary ones bytes.
void TSimDevice::BootCommand(const TSimBytes& command, bool text, TLineTime at, TSimOutput& out) {
  uint8_t c = command[0];
  LastBootCommand = at;
  bool version = text ? c == 'V' : c == 0x05;
  bool identity = text ? c == 'I' : c == 0x03;
  bool config = text ? c == 'C' : c == 0x04;
  bool restart = text ? (c == 'R' && command.size() == 2 && command[1] == 'r') : c == 0x07;
  if (version) {
    BootReply({'V', Options.DeviceBootLoaderVersion, BootFirmware}, text, at, out);
  } else if (identity) {
    TSimBytes id{'I', 'S', 'I', 'M', 0x26, 0x01, 0x02};
    if (text) id.insert(id.end(), {0x03, 0x04, 0x05, 0x06});
    BootReply(id, text, at, out);
  } else if (config) {
    TSimBytes reply{'C'};
    bool withWord = !text && (BootBaud == 115200 || Options.DeviceBootLoaderVersion > 114);
    if (withWord) reply.insert(reply.end(), {0x01, 0x00, 0x00, 0x00});
    TSimBytes bits(32, 0);
    for (int off = 176; off <= 224; ++off)
      bits[static_cast<size_t>(off / 8)] |= static_cast<uint8_t>(1 << (off % 8));
    reply.insert(reply.end(), bits.begin(), bits.end());
    BootReply(reply, text, at, out);
  } else if (restart) {
    Broken = false;
    if (const uint32_t firmware = SimFindBootMark(Programmed))
      StartNewBootLoader(static_cast<uint8_t>(firmware), at, out);
    else
      LeaveBootLoader();
  } else if (!text && c == 0x08 && command.size() >= 2) {
    TSimBytes reply{'O'};
    for (int i = 0; i < 64; ++i) reply.push_back(Memory[kDataArea + ((command[1] + i) & 0xFF)]);
    BootReply(reply, false, at, out);
  } else if (!text && (c == 0x00 || c == 0x06)) {
    bool ok = c == 0x00 ? command.size() >= 3 && command[1] == kAuthMarker2[0] &&
                              command[2] == kAuthMarker2[1]
                        : command.size() >= 5 &&
                              std::equal(kAuthMarker4, kAuthMarker4 + 4, command.begin() + 1);
    ok = ok && !Options.Faults.RefuseAuthorisation;
    BootReply({static_cast<uint8_t>(ok ? 'N' : 'E')}, false, at, out);
  } else if ((c == 'W' || (!text && (c == 0x01 || c == 0x02))) &&
             ++LinesHeard == Options.Faults.LoseBootLine) {
    Broken = true;  // lost on the line: never taken, never answered
  } else if (c == 'W' || (!text && (c == 0x01 || c == 0x02))) {
    // "W" lines (text, or a part without a nonce in any framing) carry their own sum.
    TSimBytes line(command.begin() + 1, command.end());
    bool summed = c == 'W';
    bool ok =
        summed ? line.size() == kLineLength + 1 && SimSum(line) == 0 : line.size() == kLineLength;
    if (ok && summed) line.pop_back();
    bool dataLine = !text && c == 0x02;
    if (ok && dataLine) {
      unsigned offset = line[70] | (line[71] << 8);
      for (unsigned i = 0; i < 64 && offset + i < 256; ++i)
        Memory[kDataArea + offset + i] = line[6 + i];
    } else if (ok) {
      Programmed.insert(Programmed.end(), line.begin(), line.end());
    }
    if (ok) {
      ++Stats.DeviceLines;
      ++LinesTaken;
    }
    Broken |= !ok;
    BootReply({static_cast<uint8_t>(ok ? 'N' : 'E')}, text, at, out);
  }
}
