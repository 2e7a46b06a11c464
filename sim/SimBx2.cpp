#include "sim/SimBx2.h"

using namespace std::chrono_literals;

namespace {
constexpr int kBusBaud = 2400;
constexpr int kBootBaud = 19200;
constexpr int kBurstBaud = 115200;
constexpr auto kReplyDelay = 3ms;
constexpr auto kAnnounceDelay = 300ms;
constexpr auto kQuietBeforeHeartbeat = 300ms;
constexpr auto kIdleRestart = 1000ms;   // programmed boot loader left alone: start the firmware
constexpr auto kBreakRelease = 2000ms;  // break released, no programming: back to the firmware
constexpr auto kStreamPeriod = 50ms;
constexpr auto kHandshakeWait = 1000ms;  // wake-up burst heard, "P" expected within

// S block as the interface keeps it after start: byte 0 = 4, byte 1 = 0, byte 2 =
// 255, w4 = 18 - 17, flags clear except 13 (w5 bit 7 clear) and 12 (w7 bit 2).
constexpr std::array<uint8_t, 7> kDefaultSBlock{4, 0, 255, 1, 0x00, 0, 0x04};

bool Bit(uint8_t v, int n) {
  return (v >> n) & 1;
}
uint8_t Lo(unsigned v) {
  return static_cast<uint8_t>(v & 0xFF);
}
}  // namespace

TSimBx2::TSimBx2(const TSimOptions& options, TSimDevice& device, TSimOutput& out, TSimStats& stats)
    : Options(options), Device(device), Out(out), Stats(stats) {
  FirmwareVersion = options.InterfaceVersion;
  BusMode = options.BusMode;
  SBlock = kDefaultSBlock;
  if (options.Interface == TSimInterface::Bx2BootLoader) Run = TRun::BootLoader;
  if (options.Interface == TSimInterface::Bx2BadlyProgrammed) {
    Run = TRun::Bad;
    FirmwareIntact = false;
  }
}

TSimInterface TSimBx2::State() const {
  if (Run == TRun::Firmware) return TSimInterface::Bx2Working;
  return Run == TRun::Bad ? TSimInterface::Bx2BadlyProgrammed : TSimInterface::Bx2BootLoader;
}

void TSimBx2::OnByte(const TWireByte& byte, TLineTime at) {
  LastHostByte = at;
  if (Run == TRun::Firmware)
    FirmwareByte(byte, at);
  else
    BootLoaderByte(byte, at);
}

// A break while the device sits in its boot loader makes the interface pass the
// line through (flag 7 of the S block only lets the reset request put it there,
// and a fresh driver clears it: a device left in its boot loader by a broken
// update is reached again without it); any other break resets the interface into
// its own boot loader.
void TSimBx2::OnLine(const TLineState& state, TLineTime at) {
  if (!state.Open) Heartbeat = false;
  if (state.Break && Run == TRun::Firmware) {
    Heartbeat = false;
    if (Device.InBootLoader()) {
      Transparent = true;
    } else if (!Transparent) {
      Run = TRun::BootLoader;
      Handshake = BootConnected = false;
      ReturnToFirmwareAt = {};
      ResetByBreak = true;
    }
  } else if (!state.Break && Run == TRun::BootLoader && ResetByBreak && FirmwareIntact &&
             LinesTaken == 0) {
    ReturnToFirmwareAt = at + kBreakRelease;
  }
}

void TSimBx2::StartFirmware(TLineTime now) {
  Run = TRun::Firmware;
  ResetByBreak = false;
  Handshake = BootConnected = false;
  ReturnToFirmwareAt = {};
  Assembler.Reset();
  AnnounceAt = now + kAnnounceDelay;
  BusMode = Options.BusMode;
  ResetsSeen = 0;
}

void TSimBx2::PowerCycle(TLineTime now) {
  Transparent = false;
  Handshake = BootConnected = false;
  TextCommands.Reset();
  Silent = false;
  Heartbeat = false;
  SBlock = kDefaultSBlock;
  SelectedAddress = 0;
  if (LinesTaken > 0) {
    uint32_t version = LostLine ? 0 : SimFindVersionMark(Programmed);
    FirmwareIntact = version != 0;
    LostLine = false;
    if (version != 0) FirmwareVersion = version;
    LinesTaken = 0;
    Programmed.clear();
  }
  if (FirmwareIntact)
    StartFirmware(now);
  else
    Run = TRun::Bad;
}

void TSimBx2::OnTick(TLineTime now) {
  if (Handshake && !BootConnected && now - HandshakeAt > kHandshakeWait) Handshake = false;
  if (Run == TRun::Bad && !Handshake && now >= NextStream) {
    Out.Raw(TSimBytes(6, 0x11), kBootBaud, now);
    NextStream = now + kStreamPeriod;
  }
  if (Run == TRun::BootLoader && LinesTaken > 0 && now - LastBootCommand > kIdleRestart)
    PowerCycle(now);
  if (Run == TRun::BootLoader && ReturnToFirmwareAt != TLineTime{} && !Handshake &&
      now >= ReturnToFirmwareAt)
    StartFirmware(now);
  Device.BootTick(now, Out, Transparent);
  if (Transparent && !Device.InBootLoader()) {  // the device restarted: the line is ours again
    Transparent = false;
    AnnounceAt = now + kAnnounceDelay;
  }
  if (Run != TRun::Firmware || Silent || Transparent) return;
  if (AnnounceAt != TLineTime{} && now >= AnnounceAt) {
    AnnounceAt = {};
    SendFrame(VersionPayload(), now);
  }
  if (Heartbeat && Options.HeartbeatMs > 0 && now - LastHostByte > kQuietBeforeHeartbeat &&
      now - LastHeartbeat > std::chrono::milliseconds(Options.HeartbeatMs) && !Device.Silent &&
      !Device.Absent) {
    LastHeartbeat = now;
    SendFrame({0x40, HeartbeatCount++, 0x00, 0x00}, now);
  }
}

// ---- firmware ----------------------------------------------------------------

bool TSimBx2::TransparentByte(const TWireByte& byte, TLineTime at) {
  if (!Transparent) return false;
  if (!Device.InBootLoader()) {
    Transparent = false;
    return false;
  }
  if (WakeFromPassThrough(byte, at)) return true;
  if (Device.BootEchoes(byte.Baud)) Out.Raw({byte.Value}, byte.Baud, at, byte.Ninth);
  Device.BootByte(byte, at, Out);
  if (!Device.InBootLoader()) {  // restarted: the interface takes the line back
    Transparent = false;
    AnnounceAt = at + kAnnounceDelay;
  }
  return true;
}

// The wake-up sequence reaches the interface while it passes the line through:
// it takes the line back and announces itself; the device stays where it is (in
// its boot loader after a broken update), so that the next update finds the
// interface again.
bool TSimBx2::WakeFromPassThrough(const TWireByte& byte, TLineTime at) {
  const bool wakes = byte.Baud == kBootBaud && byte.Value == 'A' && WakeBytes >= 3;
  WakeBytes = byte.Baud == kBurstBaud && byte.Value == 0x55 ? WakeBytes + 1 : 0;
  if (!wakes) return false;
  Transparent = false;
  WakeBytes = 0;
  Assembler.Reset();
  AnnounceAt = at + kAnnounceDelay;
  return true;
}

// Five 0x55 at 115200 baud, then 'A' at 19200: a silent interface listens again
// and announces itself.
bool TSimBx2::WakeUpByte(const TWireByte& byte, TLineTime at) {
  if (byte.Baud == kBurstBaud) {
    WakeBytes = byte.Value == 0x55 ? WakeBytes + 1 : 0;
    return true;
  }
  if (byte.Baud == kBootBaud) {
    if (byte.Value == 'P' && WakeBytes >= 3 && Options.BurstEntersBootLoader) {
      Run = TRun::BootLoader;
      Heartbeat = false;
      BootLoaderByte(byte, at);
    } else if (byte.Value == 'A' && WakeBytes >= 3) {
      Silent = false;
      Heartbeat = false;
      Assembler.Reset();
      AnnounceAt = at + kAnnounceDelay;
    }
    WakeBytes = 0;
    return true;
  }
  WakeBytes = 0;
  return false;
}

void TSimBx2::FirmwareByte(const TWireByte& byte, TLineTime at) {
  if (Options.BurstEntersBootLoader && byte.Baud != kBusBaud && Device.InBootLoader())
    Transparent = true;
  if (TransparentByte(byte, at) || WakeUpByte(byte, at) || Silent) return;
  if (byte.Baud != kBusBaud) {
    Assembler.Reset();
    return;
  }
  auto frame = Assembler.Feed(byte.Value, at);
  if (!frame) return;
  if (!frame->ChecksumOk) {
    ++Stats.BadHostFrames;
    return;
  }
  ++Stats.HostFrames;
  const TSimBytes& p = frame->Payload;
  if (p[0] == 0xFF && p.size() >= 2)
    InterfaceCommand(p, at);
  else if (p[0] == '!' && p.size() >= 6)
    AddressedFrame(p, at);
}

void TSimBx2::SendFrame(const TSimBytes& payload, TLineTime at) {
  bool withStatus =
      Options.StatusEvery > 0 && ++FramesSinceStatus >= Options.StatusEvery && payload.size() <= 15;
  if (withStatus) FramesSinceStatus = 0;
  Out.Frame(SimBx2Frame(payload, withStatus ? Status.data() : nullptr), kBusBaud, at + kReplyDelay);
}

TSimBytes TSimBx2::VersionPayload() const {
  uint8_t mode =
      BusMode == TSimBusMode::NineBit ? 'W' : (SelectedAddress == 255 ? 'B' : SelectedAddress);
  uint32_t v = FirmwareVersion;
  return {0xFF, 'V', Lo(v), Lo(v >> 8), Lo(v >> 16), Lo(v >> 24), mode};
}

// The 'D' answer: the S block in the interface's own bit order, with the link
// mode in p6 bit 2.
TSimBytes TSimBx2::StatePayload() const {
  uint8_t w5 = SBlock[4], w7 = SBlock[6];
  uint8_t p6 = static_cast<uint8_t>(
      Bit(w5, 0) | Bit(w5, 1) << 1 | (BusMode == TSimBusMode::KMBus) << 2 | Bit(w5, 2) << 3 |
      Bit(w5, 3) << 4 | Bit(w5, 6) << 5 | Bit(w5, 7) << 6 | Bit(w7, 0) << 7);
  uint8_t p8 = static_cast<uint8_t>(Bit(w7, 1) | Bit(w7, 2) << 1);
  return {0xFF, 'D', SBlock[0], SBlock[1], SBlock[2], SBlock[3], p6, SBlock[5], p8};
}

void TSimBx2::InterfaceCommand(const TSimBytes& p, TLineTime at) {
  uint8_t letter = p[1];
  switch (letter) {
    case 'V':
      Heartbeat = false;
      SendFrame(VersionPayload(), at);
      break;
    case 'R':
      Heartbeat = false;
      if (BusMode == TSimBusMode::NineBit && Options.NineBitResets > 0 &&
          ++ResetsSeen >= Options.NineBitResets)
        BusMode = TSimBusMode::KMBus;
      break;
    case 'A':
      if (p.size() < 4) return;
      SelectedAddress = p[3];
      Heartbeat = true;
      SendFrame({0xFF, 'A', 0x01, SelectedAddress}, at);
      break;
    case 'S':
      for (size_t i = 2; i < p.size() && i < 9; ++i) SBlock[i - 2] = p[i];
      Heartbeat = true;
      SendFrame({0xFF, 'S'}, at);
      break;
    case 'D':
      SendFrame(StatePayload(), at);
      break;
    case 'L':
      SendFrame({0xFF, 'L', Status[0], Status[1], 0, 0, 0, 0, 0, 0}, at);
      break;
    case 'X':
    case 'Y':
    case 'Z':
      DeviceRequest(TSimBytes(p.begin() + 2, p.end()), SelectedAddress, letter, at);
      break;
    case 'x':
    case 'y':
    case 'z':
      if (p.size() < 4) return;
      DeviceRequest(TSimBytes(p.begin() + 2, p.end() - 1), p.back(),
                    static_cast<uint8_t>(letter - 0x20), at);
      break;
    default:
      break;
  }
}

// A request for the device on the bus. The replies come back in frames carrying
// the request's letter ('W' in 9-bit mode); the long information answers are
// grouped as the bus delivers them.
void TSimBx2::DeviceRequest(const TSimBytes& request, uint8_t target, uint8_t letter,
                            TLineTime at) {
  bool nineBit = BusMode == TSimBusMode::NineBit;
  if (!nineBit && target != 255 && target != Device.Address()) return;
  auto replies = Device.HandleRequest(request);
  if (replies.empty()) return;
  uint8_t replyLetter = nineBit ? 'W' : letter;
  size_t grouped = 1;
  if (replies.size() == 5 && replies[0][0] == 0x89) grouped = 4;
  if (replies.size() == 2 && replies[0][0] == 0x8E) grouped = 2;
  TSimBytes first{0xFF, replyLetter};
  for (size_t i = 0; i < grouped; ++i)
    first.insert(first.end(), replies[i].begin(), replies[i].end());
  SendFrame(first, at);
  for (size_t i = grouped; i < replies.size(); ++i) {
    TSimBytes more{0xFF, replyLetter};
    more.insert(more.end(), replies[i].begin(), replies[i].end());
    SendFrame(more, at);
  }
}

// '!' + 32-bit value + text: 00 asks the devices for their information, 03 resets
// the device into its boot loader when flag 7 of the S block prepares for it.
void TSimBx2::AddressedFrame(const TSimBytes& payload, TLineTime at) {
  uint8_t what = payload[5];
  if (what == 0x00 && Device.Answers()) SendFrame(Device.DeviceInfo(), at);
  if (what == 0x03 && Bit(SBlock[4], 2)) Device.EnterBootLoader(at);
}

// ---- boot loader ---------------------------------------------------------------

void TSimBx2::BootLoaderReply(const TSimBytes& bytes, TLineTime at) {
  Out.Frame(bytes, kBootBaud, at + kReplyDelay);
}

void TSimBx2::BootLoaderByte(const TWireByte& byte, TLineTime at) {
  if (byte.Baud == kBurstBaud) {
    if (byte.Value == 0x55 && !BootConnected) {
      Handshake = true;
      HandshakeAt = at;
    }
    return;
  }
  if (byte.Baud != kBootBaud) return;
  if (!BootConnected) {
    if (byte.Value == 'P') {
      Run = TRun::BootLoader;  // talking to a host: the 0x11 stream has ended
      Handshake = BootConnected = true;
      LastBootCommand = at;
      uint32_t v = FirmwareVersion;
      BootLoaderReply(
          SimCountedReply({'V', Options.BootLoaderVersion, Options.BootLoaderFirmwareVersion, Lo(v),
                           Lo(v >> 8), Lo(v >> 16), Lo(v >> 24)}),
          at);
    }
    return;
  }
  if (auto command = TextCommands.Feed(byte.Value)) BootLoaderCommand(*command, at);
}

void TSimBx2::BootLoaderCommand(const TSimBytes& command, TLineTime at) {
  LastBootCommand = at;
  uint32_t v = FirmwareVersion;
  switch (command[0]) {
    case 'P':
    case 'V':
      BootLoaderReply(
          SimCountedReply({'V', Options.BootLoaderVersion, Options.BootLoaderFirmwareVersion, Lo(v),
                           Lo(v >> 8), Lo(v >> 16), Lo(v >> 24)}),
          at);
      break;
    case 'I':
      BootLoaderReply(
          SimCountedReply({'I', 'B', 'X', '2', 0x02, 0x11, 0x30, 0x01, 0x00, 0x00, 0x01}), at);
      break;
    case 'C': {
      TSimBytes config{'C'};
      config.resize(33, 0x00);  // the interface keeps no calibration
      BootLoaderReply(SimCountedReply(config), at);
      break;
    }
    case 'W': {
      if (++LinesHeard == Options.Faults.LoseBootLine) {
        LostLine = true;  // never taken, never answered: the firmware cannot start
        break;
      }
      // "W", the 74-byte line, and a byte that makes the line's sum 0.
      TSimBytes line(command.begin() + 1, command.end());
      bool ok = SimSum(line) == 0;
      if (ok) {
        line.pop_back();
        if (LinesTaken == 0) {  // the first line erases the old firmware
          FirmwareIntact = false;
          LostLine = false;
          Programmed.clear();
        }
        ++LinesTaken;
        ++Stats.LinesProgrammed;
        Programmed.insert(Programmed.end(), line.begin(), line.end());
      } else {
        ++Stats.LinesRejected;
      }
      BootLoaderReply({static_cast<uint8_t>(ok ? 'N' : 'E')}, at);
      break;
    }
    case 'R':
      if (command.size() == 2 && command[1] == 'r') PowerCycle(at);
      break;
    default:
      break;
  }
}
