// The serial dialogue with a boot loader: the command set and framing of the
// method in use, the connection handshakes, the identification queries, and the
// reset of a device by instruction or by the bus reset frame.
#include <QString>

#include <algorithm>
#include <chrono>

#include "firmware/BootLink.h"
#include "firmware/BootMethods.h"
#include "firmware/KFFFiles.h"
#include "firmware/UpdaterInternals.h"
#include "firmware/updaterunit.h"
#include "link/BX2Frames.h"
#include "link/Detection.h"
#include "serial/RS232o.h"
#include "support/HardcodedStrings.h"
#include "support/Sema.h"
#include "support/Textlogger.h"
#include "support/Tools.h"

using namespace updater;

// ---- framing and command set ----------------------------------------------------

const TBootMethod& TUpdater::Method() const {
  return BootMethod(ConnectMethod);
}

bool TUpdater::IsBinaryMethod() const {
  return Method().Framing == TBootFraming::Binary;
}

void TUpdater::SelectCommandSet(int method) {
  ConnectMethod = method;
  const auto byte = [](int b) { return std::string(1, static_cast<char>(b)); };
  if (!IsBinaryMethod()) {
    CmdWriteCode = CmdWriteData = "W";
    CmdIdentity = "I";
    CmdConfig = "C";
    CmdVersion = "V";
    CmdAuthorise.clear();
    CmdRestart = "Rr";
    CmdReadData.clear();
  } else {
    CmdWriteCode = byte(0x01);
    CmdWriteData = byte(0x02);
    CmdIdentity = byte(0x03);
    CmdConfig = byte(0x04);
    CmdVersion = byte(0x05);
    CmdAuthorise = Method().AuthoriseByte < 0 ? std::string() : byte(Method().AuthoriseByte);
    CmdRestart = byte(0x07);
    CmdReadData = byte(0x08);
  }
  if (!Method().ConfigWord) ConfigWord = 0;
}

int TUpdater::ReadPort(uint8_t* buffer, int count, int firstTimeoutMs) {
  // Long waits (a line acknowledgement may take 18 s) go in slices, so that stopping
  // the updater never waits for a silent boot loader.
  constexpr int slice = 250;
  if (firstTimeoutMs <= slice)
    return Port->Read(buffer, static_cast<uint32_t>(count), firstTimeoutMs);
  const TDelayChecker deadline(firstTimeoutMs);
  int remaining = firstTimeoutMs;
  while (true) {
    const int got = Port->Read(buffer, static_cast<uint32_t>(count), std::min(slice, remaining));
    if (got != 0 || Terminated() || deadline.Expired()) return got;
    remaining = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline.Due - TClock::now())
            .count());
    if (remaining <= 0) return 0;
  }
}

bool TUpdater::WritePlain(const std::string& bytes) {
  if (bytes.empty()) return true;
  return Port->Write(bytes.data(), static_cast<uint32_t>(bytes.size())) ==
         static_cast<int>(bytes.size());
}

bool TUpdater::WriteRaw(const std::string& bytes, int pauseMs) {
  if (bytes.empty()) return true;
  Port->PurgeReceive();
  bool ok = WritePlain(bytes);
  if (ok && EchoCheck) {
    std::string echo(bytes.size(), '\0');
    const int got =
        ReadPort(reinterpret_cast<uint8_t*>(echo.data()), static_cast<int>(echo.size()), -1);
    ok = got == static_cast<int>(bytes.size()) && echo == bytes;
  }
  if (pauseMs > 0) WaitMs(pauseMs);
  return ok;
}

bool TUpdater::SendFrame(const std::string& payload) {
  if (!IsBinaryMethod()) return WriteRaw(payload);
  const std::string frame = WrapBinaryFrame(payload);
  return !frame.empty() && WriteRaw(frame);
}

bool TUpdater::ReceiveReply(int expectedLength, int timeoutMs, std::string& reply) {
  reply.clear();
  const TBootByteReader reader = [this](uint8_t* buffer, int count, int first) {
    return ReadPort(buffer, count, first);
  };
  if (IsBinaryMethod()) {
    std::string raw;
    return CollectBinaryReply(reader, timeoutMs, raw) && UnpackBinaryReply(raw, reply);
  }
  if (expectedLength > 0) return ReadFixedReply(reader, expectedLength, timeoutMs, reply);
  return ReadCountedReply(reader, timeoutMs, reply);
}

std::string TUpdater::DeviceIdPrefix() const {
  return IsBinaryMethod() ? DeviceId.substr(0, 4) : std::string();
}

// ---- connection handshakes ---------------------------------------------------------

namespace {

const int HuntRates[] = {115200, 57600, 38400, 19200, 9600, 7680, 4800, 2400, 1200};

}  // namespace

bool TUpdater::ConnectBx2Loader() {
  EchoCheck = false;
  WaitMs(SettleAfterBreakMs);
  // The interface's wake burst, with "P" asking its boot loader for the version.
  WakeInterface(*Port, 'P');
  WaitMs(Bx2LoaderReplyMs);
  std::string reply, raw;
  const TBootByteReader reader = [this](uint8_t* buffer, int count, int first) {
    return ReadPort(buffer, count, first);
  };
  const bool ok = ReadCountedReply(reader, 500, reply, &raw) && reply[0] == 'V';
  LogText("Bare bootblock frame: " + HexDump(raw));
  return ok;
}

bool TUpdater::HuntBaud() {
  bool found = false;
  for (int i = -1; i < static_cast<int>(std::size(HuntRates)) && !found; ++i) {
    if (i >= 0) Port->SetBaud(HuntRates[i]);
    Port->PurgeAll();
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
  EchoCheck = false;
  WritePlain("\xAA\xFF\xAA\xFF\xAA");
  WaitMs(HuntSwitchOverMs);
  const TDelayChecker quietBy(2000);
  bool quiet = false;
  while (!quiet && !quietBy.Expired()) {
    const int got = ReadPort(&byte, 1, -1);
    if (got == 1 && byte == 0xAA) EchoCheck = true;  // the line echoes what we send
    quiet = got != 1;
  }
  Port->ClearErrors();
  return quiet;
}

bool TUpdater::ConnectSyncBurst() {
  EchoCheck = false;
  WaitMs(SettleAfterBreakMs);
  Port->SetBaud(115200);
  Port->PurgeAll();
  WriteRaw(SyncBurst);
  Port->PurgeReceive();
  return true;
}

bool TUpdater::ConnectEchoedBurst() {
  Port->SetBaud(19200);
  Port->PurgeAll();
  Port->ClearErrors();
  EchoCheck = true;
  if (!WriteRaw(SyncBurst)) return false;
  if (Method().ReplyWaitMs <= 0) return true;  // no reply needed
  std::string reply;
  if (!ReceiveReply(0, Method().ReplyWaitMs, reply)) return true;
  Port->ClearErrors();
  return Port->LastErrors() == 0 && (reply[0] == 'R' || reply[0] == 'V');
}

void TUpdater::ProbeAt115200() {
  // A boot loader that talks at 115200 on its own is a text one (method 5); a quiet
  // line is a binary one at 19200 (method 3).
  constexpr int probeMs = 100;
  const int baud = Port->Baud();
  Port->SetBaud(115200);
  Port->PurgeAll();
  uint8_t byte = 0;
  SelectCommandSet(ReadPort(&byte, 1, probeMs) == 1 ? 5 : 3);
  Port->SetBaud(baud);
  Port->ClearErrors();
  Port->PurgeAll();
}

bool TUpdater::ConnectDirect(int method, bool useConnectInfo, std::string& error) {
  error.clear();
  Step(3);
  const TCodePart* main = MainPart();
  if (useConnectInfo && main) {
    const TCodePart* first = Buffer->PartAt(0);
    const QString info = first->GetValue(QStringLiteral("ConnectInfo"));
    if (info != KffAbsentMarker) method = MethodFromConnectInfo(info.toStdString(), method);
  }
  SelectCommandSet(method);
  Port->SetBreak(false);
  if (Method().Handshake == TBootHandshake::Probe115200) ProbeAt115200();
  bool connected = false;
  switch (Method().Handshake) {
    case TBootHandshake::SyncBurst:
      connected = ConnectSyncBurst();
      break;
    case TBootHandshake::Bx2Loader:
      connected = ConnectBx2Loader();
      break;
    case TBootHandshake::EchoedBurst:
      connected = ConnectEchoedBurst();
      break;
    case TBootHandshake::BaudHunt:
    case TBootHandshake::Probe115200:
      connected = HuntBaud();
      break;
  }
  Step(0);
  if (connected) {
    if (!Identify(error)) State = usCommError;
  } else {
    error = Text(Ids().ErrorConnecting);
    State = usCommError;
  }
  Step(0);
  return error.empty();
}

bool TUpdater::Identify(std::string& error) {
  error = Text(Ids().ErrorConnecting);
  BootblockVersion = 0;
  BootblockFirmwareVersion = 0;
  DeviceId.clear();
  DataImage.clear();
  std::string reply;
  if (!SendFrame(CmdVersion) || !ReceiveReply(0, 500, reply) || reply[0] != 'V') return false;
  const auto byteAt = [&reply](size_t i) {
    return i < reply.size() ? static_cast<uint8_t>(reply[i]) : 0;
  };
  BootblockVersion = byteAt(1);
  if (Method().ChoosesByVersion) SelectCommandSet(BootblockVersion > 114 ? 2 : 3);
  BootblockFirmwareVersion = byteAt(2) != 0 ? byteAt(2) : BootblockVersion;
  if (Method().QueriesIdentity && !(QueryId() && QueryConfig())) return false;
  if (Method().ConfigWord && CarryVersion >= 0 && !ConfigBlank()) {
    if (!ReadDataImage()) return false;
    // A conversion that cannot be done is named to the user: the data lines must
    // not go out with a calibration the device never had.
    std::string carryError;
    ApplyAddedCalibrations(carryError);
    if (!carryError.empty()) {
      error = carryError;
      return false;
    }
  }
  error.clear();
  return true;
}

bool TUpdater::QueryId() {
  WaitMs(BeforeIdentityQueryMs);
  DeviceId.clear();
  std::string reply;
  if (!SendFrame(CmdIdentity) || !ReceiveReply(0, 500, reply) || reply[0] != 'I') return false;
  if (IsBinaryMethod()) {
    if (reply.size() == 7 || reply.size() == 9) DeviceId = reply.substr(1);
  } else if (reply.size() == 11) {
    DeviceId = reply.substr(1);
  }
  return !DeviceId.empty();
}

bool TUpdater::QueryConfig() {
  LongConfig = false;
  DeviceConfig.clear();
  std::string reply;
  if (!SendFrame(CmdConfig) || !ReceiveReply(0, 500, reply) || reply[0] != 'C') return false;
  if (Method().ConfigWord) {
    if (reply.size() < 5) return false;  // the configuration word is missing
    ConfigWord = 0;
    for (int i = 0; i < 4; ++i)
      ConfigWord |= static_cast<uint32_t>(static_cast<uint8_t>(reply[1 + i])) << (8 * i);
    DeviceConfig = reply.substr(5);
  } else {
    DeviceConfig = reply.substr(1, 255);
    LongConfig = DeviceConfig.size() == 38;
  }
  return true;
}

bool TUpdater::TryRunCommand() {
  // Boot loader firmware above 113 restarts the device on its own command.
  return BootblockFirmwareVersion > 113 && SendFrame(CmdRestart);
}

void TUpdater::ShowResetInstruction(bool sendResetFrame, int32_t message, bool force) {
  if (!force && TryRunCommand()) return;
  if (message < 0) message = IsInverter ? Ids().InverterResetInstruction : Ids().ResetInstruction;
  ShowString(message);
  if (sendResetFrame) {
    SendResetFrame();
    WaitMs(AfterResetFrameMs);
    Port->SetBreak(false);
    Port->PurgeAll();
  }
}

void TUpdater::SendResetFrame() {
  static const std::string resetFrame("\x07\xFF\x53\x03\x00\x10\x01\x14\x7F", 9);
  PauseWorker();
  Port->SetBaud(2400);
  const bool echo = EchoCheck;
  EchoCheck = false;
  WriteRaw(resetFrame, ResetFrameGapMs);
  WriteRaw(resetFrame, ResetFrameGapMs);
  EchoCheck = echo;
  Port->SetBaud(19200);
  Port->SetBreak(true);
}
