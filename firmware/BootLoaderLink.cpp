#include "firmware/BootLoaderLink.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <utility>

#include "firmware/BootLink.h"
#include "firmware/UpdaterInternals.h"
#include "link/BX2Frames.h"
#include "serial/SerialPort.h"
#include "support/Textlogger.h"
#include "support/Threads.h"
#include "support/Tools.h"

using namespace updater;

TBootLoaderLink::TBootLoaderLink(TRS232o& port, std::function<bool()> stopping)
    : Line(port), Stopping(std::move(stopping)) {
  Line.ClearDtr(false);  // DTR on
  Line.ClearRts(true);   // RTS off
  Line.SetReadTimeouts(20);
  Line.PurgeAll();
}

// ---- framing and command set ----------------------------------------------------

const TBootMethod& TBootLoaderLink::Method() const {
  return BootMethod(ConnectMethod);
}

bool TBootLoaderLink::IsBinary() const {
  return Method().Framing == TBootFraming::Binary;
}

void TBootLoaderLink::SelectCommandSet(int method) {
  ConnectMethod = method;
  const auto byte = [](int b) { return std::string(1, static_cast<char>(b)); };
  if (!IsBinary()) {
    Command.WriteCode = Command.WriteData = "W";
    Command.Identity = "I";
    Command.Config = "C";
    Command.Version = "V";
    Command.Authorise.clear();
    Command.Restart = "Rr";
    Command.ReadData.clear();
  } else {
    Command.WriteCode = byte(0x01);
    Command.WriteData = byte(0x02);
    Command.Identity = byte(0x03);
    Command.Config = byte(0x04);
    Command.Version = byte(0x05);
    Command.Authorise = Method().AuthoriseByte < 0 ? std::string() : byte(Method().AuthoriseByte);
    Command.Restart = byte(0x07);
    Command.ReadData = byte(0x08);
  }
  if (!Method().ConfigWord) Told.ConfigWord = 0;
}

int TBootLoaderLink::ReadPort(uint8_t* buffer, int count, int firstTimeoutMs) {
  // Long waits (a line acknowledgement may take 18 s) go in slices, so that stopping
  // the updater never waits for a silent boot loader.
  constexpr int slice = 250;
  if (firstTimeoutMs <= slice)
    return Line.Read(buffer, static_cast<uint32_t>(count), firstTimeoutMs);
  const TDelayChecker deadline(firstTimeoutMs);
  int remaining = firstTimeoutMs;
  while (true) {
    const int got = Line.Read(buffer, static_cast<uint32_t>(count), std::min(slice, remaining));
    if (got != 0 || (Stopping && Stopping()) || deadline.Expired()) return got;
    remaining = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline.Due - TClock::now())
            .count());
    if (remaining <= 0) return 0;
  }
}

bool TBootLoaderLink::WritePlain(const std::string& bytes) {
  if (bytes.empty()) return true;
  return Line.Write(bytes.data(), static_cast<uint32_t>(bytes.size())) ==
         static_cast<int>(bytes.size());
}

bool TBootLoaderLink::WriteRaw(const std::string& bytes, int pauseMs) {
  if (bytes.empty()) return true;
  Line.PurgeReceive();
  bool ok = WritePlain(bytes);
  if (ok && Echo) {
    std::string echo(bytes.size(), '\0');
    const int got =
        ReadPort(reinterpret_cast<uint8_t*>(echo.data()), static_cast<int>(echo.size()), -1);
    ok = got == static_cast<int>(bytes.size()) && echo == bytes;
  }
  if (pauseMs > 0) WaitMs(pauseMs);
  return ok;
}

bool TBootLoaderLink::SendFrame(const std::string& payload) {
  if (!IsBinary()) return WriteRaw(payload);
  const std::string frame = WrapBinaryFrame(payload);
  return !frame.empty() && WriteRaw(frame);
}

bool TBootLoaderLink::ReceiveReply(int expectedLength, int timeoutMs, std::string& reply) {
  reply.clear();
  const TBootByteReader reader = [this](uint8_t* buffer, int count, int first) {
    return ReadPort(buffer, count, first);
  };
  if (IsBinary()) {
    std::string raw;
    return CollectBinaryReply(reader, timeoutMs, raw) && UnpackBinaryReply(raw, reply);
  }
  if (expectedLength > 0) return ReadFixedReply(reader, expectedLength, timeoutMs, reply);
  return ReadCountedReply(reader, timeoutMs, reply);
}

void TBootLoaderLink::AdoptConfig(std::string config) {
  Told.DeviceConfig = std::move(config);
}

std::string TBootLoaderLink::DeviceIdPrefix() const {
  return IsBinary() ? Told.DeviceId.substr(0, 4) : std::string();
}

// ---- connection handshakes ---------------------------------------------------------

namespace {

const int HuntRates[] = {115200, 57600, 38400, 19200, 9600, 7680, 4800, 2400, 1200};

}  // namespace

bool TBootLoaderLink::ConnectBx2Loader() {
  Echo = false;
  WaitMs(SettleAfterBreakMs);
  // The interface's wake burst, with "P" asking its boot loader for the version.
  WakeInterface(Line, 'P');
  WaitMs(Bx2LoaderReplyMs);
  std::string reply, raw;
  const TBootByteReader reader = [this](uint8_t* buffer, int count, int first) {
    return ReadPort(buffer, count, first);
  };
  const bool ok = ReadCountedReply(reader, 500, reply, &raw) && reply[0] == 'V';
  LogText("Bare bootblock frame: " + HexDump(raw));
  return ok;
}

bool TBootLoaderLink::HuntBaud() {
  bool found = false;
  for (int i = -1; i < static_cast<int>(std::size(HuntRates)) && !found; ++i) {
    if (i >= 0) Line.SetBaud(HuntRates[i]);
    Line.PurgeAll();
    int inRow = 0;
    for (int attempt = 0; attempt < 4 && inRow < 2; ++attempt) {
      uint8_t byte = 0;
      const int got = ReadPort(&byte, 1, -1);
      inRow = (got == 1 && byte == 0x55) ? inRow + 1 : 0;
      WaitMs(HuntByteGapMs);
    }
    found = inRow >= 2;
  }
  if (!found) return false;
  uint8_t byte = 0;
  ReadPort(&byte, 1, 1000);  // one more byte of the stream
  Echo = false;
  WritePlain("\xAA\xFF\xAA\xFF\xAA");
  WaitMs(HuntSwitchOverMs);
  const TDelayChecker quietBy(2000);
  bool quiet = false;
  while (!quiet && !quietBy.Expired()) {
    const int got = ReadPort(&byte, 1, -1);
    if (got == 1 && byte == 0xAA) Echo = true;  // the line echoes what we send
    quiet = got != 1;
  }
  Line.ClearErrors();
  return quiet;
}

bool TBootLoaderLink::ConnectSyncBurst() {
  Echo = false;
  WaitMs(SettleAfterBreakMs);
  Line.SetBaud(115200);
  Line.PurgeAll();
  WriteRaw(SyncBurst);
  Line.PurgeReceive();
  return true;
}

bool TBootLoaderLink::ConnectEchoedBurst() {
  Line.SetBaud(19200);
  Line.PurgeAll();
  Line.ClearErrors();
  Echo = true;
  if (!WriteRaw(SyncBurst)) return false;
  if (Method().ReplyWaitMs <= 0) return true;  // no reply needed
  std::string reply;
  if (!ReceiveReply(0, Method().ReplyWaitMs, reply)) return true;
  Line.ClearErrors();
  return Line.LastErrors() == 0 && (reply[0] == 'R' || reply[0] == 'V');
}

void TBootLoaderLink::ProbeAt115200() {
  // A boot loader that talks at 115200 on its own is a text one (method 5); a quiet
  // line is a binary one at 19200 (method 3).
  constexpr int probeMs = 100;
  const int baud = Line.Baud();
  Line.SetBaud(115200);
  Line.PurgeAll();
  uint8_t byte = 0;
  SelectCommandSet(ReadPort(&byte, 1, probeMs) == 1 ? 5 : 3);
  Line.SetBaud(baud);
  Line.ClearErrors();
  Line.PurgeAll();
}

bool TBootLoaderLink::Handshake() {
  Line.SetBreak(false);
  if (Method().Handshake == TBootHandshake::Probe115200) ProbeAt115200();
  switch (Method().Handshake) {
    case TBootHandshake::SyncBurst:
      return ConnectSyncBurst();
    case TBootHandshake::Bx2Loader:
      return ConnectBx2Loader();
    case TBootHandshake::EchoedBurst:
      return ConnectEchoedBurst();
    case TBootHandshake::BaudHunt:
    case TBootHandshake::Probe115200:
      break;
  }
  return HuntBaud();
}

bool TBootLoaderLink::QueryVersion() {
  Told.BootblockVersion = 0;
  Told.BootblockFirmwareVersion = 0;
  Told.DeviceId.clear();
  std::string reply;
  if (!SendFrame(Command.Version) || !ReceiveReply(0, 500, reply) || reply[0] != 'V') return false;
  const auto byteAt = [&reply](size_t i) {
    return i < reply.size() ? static_cast<uint8_t>(reply[i]) : 0;
  };
  Told.BootblockVersion = byteAt(1);
  if (Method().ChoosesByVersion) SelectCommandSet(Told.BootblockVersion > 114 ? 2 : 3);
  Told.BootblockFirmwareVersion = byteAt(2) != 0 ? byteAt(2) : Told.BootblockVersion;
  return true;
}

bool TBootLoaderLink::QueryId() {
  WaitMs(BeforeIdentityQueryMs);
  Told.DeviceId.clear();
  std::string reply;
  if (!SendFrame(Command.Identity) || !ReceiveReply(0, 500, reply) || reply[0] != 'I') return false;
  if (IsBinary()) {
    if (reply.size() == 7 || reply.size() == 9) Told.DeviceId = reply.substr(1);
  } else if (reply.size() == 11) {
    Told.DeviceId = reply.substr(1);
  }
  return !Told.DeviceId.empty();
}

bool TBootLoaderLink::QueryConfig() {
  Told.LongConfig = false;
  Told.DeviceConfig.clear();
  std::string reply;
  if (!SendFrame(Command.Config) || !ReceiveReply(0, 500, reply) || reply[0] != 'C') return false;
  if (Method().ConfigWord) {
    if (reply.size() < 5) return false;  // the configuration word is missing
    Told.ConfigWord = 0;
    for (int i = 0; i < 4; ++i)
      Told.ConfigWord |= static_cast<uint32_t>(static_cast<uint8_t>(reply[1 + i])) << (8 * i);
    Told.DeviceConfig = reply.substr(5);
  } else {
    Told.DeviceConfig = reply.substr(1, 255);
    Told.LongConfig = Told.DeviceConfig.size() == 38;
  }
  return true;
}

bool TBootLoaderLink::TryRunCommand() {
  // Boot loader firmware above 113 restarts the device on its own command.
  return Told.BootblockFirmwareVersion > 113 && SendFrame(Command.Restart);
}

bool TBootLoaderLink::ReadDataBlock(int index, std::string& block) {
  std::string reply;
  const std::string command =
      Command.ReadData + std::string{static_cast<char>(DataBlockSize * index), '\0'};
  if (!SendFrame(command) || !ReceiveReply(0, 500, reply) || reply[0] != 'O' ||
      static_cast<int>(reply.size()) < 1 + DataBlockSize)
    return false;
  block = reply.substr(1, DataBlockSize);
  return true;
}

void TBootLoaderLink::SendResetFrame() {
  static const std::string resetFrame("\x07\xFF\x53\x03\x00\x10\x01\x14\x7F", 9);
  Line.SetBaud(2400);
  const bool echo = Echo;
  Echo = false;
  WriteRaw(resetFrame, ResetFrameGapMs);
  WriteRaw(resetFrame, ResetFrameGapMs);
  Echo = echo;
  Line.SetBaud(19200);
  Line.SetBreak(true);
}

bool TBootLoaderLink::WaitForRestart() {
  uint8_t byte = 0;
  if (ReadPort(&byte, 1, 3000) != 1) return false;
  int inRow = byte == 0xAA ? 1 : 0;
  for (int read = 1; read < 10 && inRow < 2; ++read) {
    if (ReadPort(&byte, 1, 50) != 1) return false;
    inRow = byte == 0xAA ? inRow + 1 : 0;
  }
  return inRow >= 2;
}

void TBootLoaderLink::StartReplacedLoader() {
  WritePlain("\x55\xFF\x55\xFF\x55");
  WaitMs(NewBootloaderHandshakeMs);
  Line.SetBreak(true);
  WaitMs(NewBootloaderStartMs);
}
