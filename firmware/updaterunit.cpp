#include "firmware/updaterunit.h"

#include <QCoreApplication>
#include <QString>

#include <algorithm>
#include <chrono>
#include <thread>

#include "firmware/BootLink.h"
#include "firmware/CarryOver.h"
#include "firmware/KFFFiles.h"
#include "link/BX2Driver.h"
#include "link/Detection.h"
#include "link/DeviceQueries.h"
#include "serial/RS232o.h"
#include "support/HardcodedStrings.h"
#include "support/Progress.h"
#include "support/Statics.h"
#include "support/Textlogger.h"
#include "support/Tools.h"
#include "variables/DeviceAccess.h"
#include "variables/ExtendedVariable.h"

// ---- strings ----------------------------------------------------------------

namespace {

TUpdaterStringIds Ids;
bool UnitStarted = false;

const char GeneralResetText[] =
    "Please reset!\r\rFollow the instructions below:\r\rIf the device being programmed is a "
    "Orvo/Telvik then:\r  - remove any AC input (Nimo only)\r  - switch device off and on.\r  - "
    "re-apply AC input if no DC available\r\rIf the device being programmed is an BX2 or remote "
    "panel then:\r  - leave any connected Orvo/Telvik untouched\r  - disconnect the RJ45 from the "
    "device\r  - reconnect the RJ45 to the device\r\rIf the device being programmed is any other "
    "device then:\r  - leave any connected Orvo/Telvik untouched\r  - remove any power supply "
    "from the device\r  - disconnect the RJ45 from the device\r  - reconnect the RJ45 to the "
    "device\r  - reconnect the removed power supplies\r\r\rPress OK AFTER the above steps are "
    "done.";

const char InverterResetText[] =
    "Please reset the Orvo/Telvik/Inverter!\r\rFollow the instructions below:\r\r  - remove any "
    "AC input (Nimo only)\r  - switch device off and on.\r  - re-apply AC input if no DC "
    "available\r\rPress OK AFTER the above steps are done.";

void DefineText(int32_t& id, const char* comment, std::vector<std::string> texts) {
  DefineString(id, skTextOnly, 0, 0, comment, texts);
}

void DeclareUpdaterStrings() {
  const char* reprogram = "message during reprogram";
  const char* ofDevice = "message during reprogram of device";
  const char* check = "message during bootblock check";
  const char* window = "information in progress window when updating a device";
  DeclareSection("updater", Ids.CannotOpenPort, Ids.ErrorDuringTransmit);
  DefineString(Ids.CannotOpenPort, skError, dbOK, 0, "[i] %d is comport number",
               {"Cannot open port: COM%d"});
  DefineString(Ids.Precaution, skWarning, dbOK, 0, reprogram,
               {("Precaution!\rDo not use the device when for some reason\rthe update process is "
                 "interrupted!\rJust restart update. This will fix corrupted firmware.")});
  DefineString(Ids.BootblockUpdateQuestion, skConfirmation, dbOK | dbCancel, 0, reprogram,
               {("The new firmware requires a Bootblock update!\rThis is not optional!\r\rContinue "
                 "with bootblock update?\r(Pressing cancel will terminate the update process.)")});
  DefineString(Ids.ResetInstruction, skInformation, dbOK, 0, reprogram, {GeneralResetText});
  DefineString(Ids.InverterResetInstruction, skInformation, dbOK, 0, reprogram,
               {InverterResetText});
  DefineText(Ids.UpdatingBootblock, ofDevice, {"Updating Bootblock", "progress"});
  DefineText(Ids.CommunicationError, check, {"Communication error!"});
  DefineText(Ids.BootblockNotSupported, check, {"Bootblock not supported"});
  DefineText(Ids.NewerBootblockRequired, check, {"A newer bootblock is required"});
  DefineText(Ids.BootblockUpdateFailed, check, {"Bootblock update failed!"});
  DefineText(Ids.PleaseWait, ofDevice, {"Please wait", "Replacing bootblock"});
  DefineText(Ids.FileNotSuitable, ofDevice,
             {"Error occurred.\rFile not suitable for this device!"});
  DefineText(Ids.GeneralError, ofDevice, {"General error occurred."});
  DefineText(Ids.BootstrapOverlap, ofDevice,
             {"Bootstrap overlap error in file.\rPlease contact Kalmeon."});
  DefineText(Ids.IdError, ofDevice, {"ID error occurred.\rFile not suitable for this device!"});
  DefineText(Ids.UnexpectedResponse, ofDevice, {"Unexpected response from target!"});
  DefineText(Ids.NoResponse, ofDevice, {"No response from target!"});
  DefineText(Ids.ErrorConnecting, ofDevice, {"Error connecting"});
  DefineText(Ids.NoBx2Found, ofDevice, {"No Bx2 or similar found on selected com port."});
  DefineText(Ids.InfoMissing, "[ii] message during postprocess",
             {"Info (%d/%d) missing!\r\rPlease contact Kalmeon Energy!"});
  DefineText(Ids.UnhandledCalibration, "[s] message during postprocess",
             {("Unhandled added calibration (%s)\r\rPlease download latest version of Quillon and "
               "retry.\rContact Kalmeon Energy if problem persists.")});
  DefineText(Ids.UpdatingCaption, "[s] caption for progress window when updating a device",
             {"Updating %s"});
  DefineText(Ids.TryingToConnect, window, {"Trying to connect ..."});
  DefineText(Ids.Programming, window, {"Programming"});
  DefineText(Ids.PleaseWaitErasing, window, {"Please wait, erasing"});
  DefineText(Ids.PostProcessing, window, {"Post processing"});
  DefineText(Ids.ErrorDuringTransmit, ofDevice, {"Error during transmit!"});
}

std::string Text(int32_t id, int number = 0) {
  return FetchText(id, number);
}

QString QText(const std::string& text) {
  return QString::fromStdString(text);
}

std::string Caption(const std::string& name) {
  return FetchTextArgs(Ids.UpdatingCaption, {TFormatArg(name)});
}

void Sleep(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Lets queued events (the worker's synchronised notifier calls) run while waiting.
void PumpEvents() {
  if (QCoreApplication::instance()) QCoreApplication::processEvents();
  Sleep(1);
}

}  // namespace

void StartUnitUpdater() {
  if (UnitStarted) return;
  DeclareUpdaterStrings();
  UnitStarted = true;
}

void StopUnitUpdater() {
  // The string table goes after this unit; a later start declares the strings anew.
  Ids = TUpdaterStringIds();
  UnitStarted = false;
}

const TUpdaterStringIds& UpdaterStringIds() {
  return Ids;
}

// ---- life cycle ----------------------------------------------------------------

TThreadPtr<TUpdater> TUpdater::Create(TRS232o* port) {
  return TThreadPtr<TUpdater>(TSafeThread::Create<TUpdater>(false, port));
}

TUpdater::TUpdater(TRS232o* port) : Port(port), Buffer(std::make_unique<TReprogramBuffer>()) {
  if (!Port) {
    OwnedPort = std::make_unique<TRS232o>();
    Port = OwnedPort.get();
    OwnsPort = true;
  }
  PreparePort();
  StepCallback = [](int n) { StepProgress(n); };
}

TUpdater::~TUpdater() {
  // The thread has ended before an object of ours is freed (Stop waits for it).
  OwnedPort.reset();
  Buffer.reset();
  PrefixFrames.clear();
}

void TUpdater::PreparePort() {
  Port->ClearDtr(false);  // DTR on
  Port->ClearRts(true);   // RTS off
  Port->SetReadTimeouts(20);
  Port->PurgeAll();
}

void TUpdater::Step(int n) const {
  if (StepCallback) StepCallback(n);
}

TCodePart* TUpdater::MainPart() const {
  return Buffer->PartAt(Buffer->IndexOfPart(QStringLiteral("Main")));
}

void TUpdater::PauseWorker() {
  PauseRequested = true;
  while (!Idle) PumpEvents();
}

void TUpdater::WaitWorkerPaused() {
  while (!(PauseRequested && Idle)) PumpEvents();
}

// ---- the worker ------------------------------------------------------------------

void TUpdater::Execute() {
  while (!Terminated()) {
    if (PauseRequested) {
      Idle = true;
      WaitTerminated(20);
      continue;
    }
    Idle = false;
    if (State == usRunning) {
      if (FramesSent < FramesTotal) {
        std::string frame;
        if (!PrefixFrames.empty()) {
          frame = PrefixFrames.front();
          PrefixFrames.erase(PrefixFrames.begin());
        } else {
          frame = BuildLine(PartIndex, NextLine++);
        }
        if (!frame.empty()) {
          CurrentFrame = frame;
          SendLine();
        }
        // A failed frame is not counted, so 100 % means every frame was acknowledged.
        if (State == usRunning) {
          ++FramesSent;
          Percent = static_cast<int>(RoundHalfAway(FramesSent * 100.0 / FramesTotal));
        }
      } else {
        State = usFinished;
        Percent = 100;
      }
    }
    if (State != usRunning) PauseRequested = true;
    if (Notifier) SyncCall([this] { RunNotifier(); });
  }
  Idle = true;
}

void TUpdater::RunNotifier() {
  if (PauseRequested && State == usFinished) Idle = true;
  if (Notifier) Notifier(Percent, State);
}

void TUpdater::SendLine() {
  ++LinesTransmitted;
  char reply = 'X';
  std::string answer;
  if (!SendFrame(CurrentFrame)) {
    reply = 'T';
  } else if (ReceiveReply(1, LineReplyTimeoutMs, answer) && !answer.empty()) {
    reply = answer[0];
  }
  int32_t message = -1;
  int failState = usCommError;
  switch (reply) {
    case 'N':
      return;
    case 'V':
      if (CurrentFrame == SyncBurst) return;
      message = Ids.UnexpectedResponse;
      break;
    case 'B':
      message = Ids.BootstrapOverlap;
      failState = usUnsuitable;
      break;
    case 'D':
      message = Ids.IdError;
      failState = usUnsuitable;
      break;
    case 'E':
      message = Ids.GeneralError;
      break;
    case 'T':
      message = Ids.ErrorDuringTransmit;
      break;
    case 'X':
      message = Ids.NoResponse;
      break;
    default:
      message = Ids.UnexpectedResponse;
      break;
  }
  LastError = Text(message);
  State = failState;
}

// ---- driving steps ------------------------------------------------------------------

bool TUpdater::PrepareTarget(bool skipFamily) {
  DeviceVersion = -1;
  CarryVersion = -1;
  IsInverter = false;
  const TCodePart* main = MainPart();
  if (!skipFamily && main) {
    const int version = main->GetInt(QStringLiteral("Version"));
    const int family = version / 100000;
    IsInverter = true;
    if (family == 19 || family == 20) {
      DeviceVersion = version;
    } else if (family == 26 || family == 27) {
      CarryVersion = version;
    } else {
      IsInverter = false;
    }
  }
  PauseWorker();
  Port->SetBreak(DeviceVersion < 0);
  return DeviceVersion >= 0;
}

void TUpdater::Connect(int method, bool useConnectInfo, std::string& error, TUpdaterStep step,
                       const std::string& name) {
  const bool ownWindow = !step;
  if (ownWindow) {
    ShowProgress(QText(Caption(name)), QText(Text(Ids.TryingToConnect)), 0, 100, 0, false);
    StepCallback = [](int n) { StepProgress(n); };
  } else {
    StepCallback = std::move(step);
  }
  State = usFinished;
  if (DeviceVersion < 0) {
    ConnectDirect(method, useConnectInfo, error);
  } else {
    ConnectThroughInterface(method, useConnectInfo, error);
  }
  if (ownWindow) ShowProgress(QString(), QString());
}

void TUpdater::ProgressNotifier(int percent, int /*state*/) {
  if (FramesSent == 3) SetProgressTexts(QText(ProgressText), QString());
  SetProgressPosition(percent);
}

bool TUpdater::ProgramMain(const std::string& name, bool mayReplaceBootblock,
                           TUpdaterNotifier notifier) {
  if (notifier) {
    Notifier = std::move(notifier);
    return StartPart("Main", true);
  }
  State = usCommError;
  const int check = CheckBootblock(mayReplaceBootblock);
  if (check != bbGoOn) {
    switch (check) {
      case bbCommLost:
        LastError = Text(Ids.CommunicationError);
        break;
      case bbNotSupported:
        LastError = Text(Ids.BootblockNotSupported);
        State = usUnsuitable;
        break;
      case bbNewerRequired:
        LastError = Text(Ids.NewerBootblockRequired);
        State = usUnsuitable;
        break;
      default:
        LastError = Text(Ids.BootblockUpdateFailed);
        break;
    }
    return false;
  }
  Notifier = [this](int percent, int state) { ProgressNotifier(percent, state); };
  ProgressText = Text(Ids.Programming);
  ShowProgress(QText(Caption(name)), QText(Text(Ids.PleaseWaitErasing)), 0, 100, 0, false);
  bool ok = StartPart("Main", true);
  if (ok) {
    WaitWorkerPaused();
    ok = State == usFinished;
  } else if (LastError.empty()) {
    // No "Main" part in the file: nothing that could be sent to this device.
    LastError = Text(Ids.FileNotSuitable);
    State = usUnsuitable;
  }
  ShowProgress(QString(), QString());
  Notifier = nullptr;
  if (!ok) return false;
  std::string error;
  PostProcess(name, error);
  LastError = error;
  return error.empty();
}

// ---- boot loader link --------------------------------------------------------------

bool TUpdater::IsBinaryMethod() const {
  return ConnectMethod == 0 || (ConnectMethod >= 2 && ConnectMethod <= 4);
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
    CmdAuthorise = byte(method == 0 || method == 2 ? 0x00 : 0x06);
    CmdRestart = byte(0x07);
    CmdReadData = byte(0x08);
  }
  if (!IsBinaryMethod() || method == 3 || method == 4) ConfigWord = 0;
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
  if (pauseMs > 0) Sleep(pauseMs);
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

namespace {

// Boot loader method named by a file's ConnectInfo (its first character dropped).
int MethodFromConnectInfo(const std::string& info, int fallback) {
  const std::string name = info.size() > 1 ? info.substr(1) : std::string();
  if (name == "BX2") return 1;
  if (name == "BX3") return 0;
  if (name == "R24M") return 2;
  if (name == "DXT") return 3;
  if (name == "OldFashioned") return 5;
  return fallback;
}

const int HuntRates[] = {115200, 57600, 38400, 19200, 9600, 7680, 4800, 2400, 1200};

}  // namespace

bool TUpdater::ConnectBx2Loader() {
  EchoCheck = false;
  Sleep(100);
  Port->SetBaud(115200);
  Port->PurgeAll();
  WritePlain("UUUUU");
  Sleep(50);
  Port->SetBaud(19200);
  Port->PurgeAll();
  Port->ClearErrors();
  WritePlain("P");
  Sleep(250);
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
      Sleep(40);
    }
    found = inRow >= 2;
  }
  if (!found) return false;
  uint8_t byte = 0;
  ReadPort(&byte, 1, 1000);  // one more byte of the stream
  EchoCheck = false;
  WritePlain("\xAA\xFF\xAA\xFF\xAA");
  Sleep(100);
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

bool TUpdater::ConnectBinaryBurst(int method) {
  Port->SetBaud(19200);
  Port->PurgeAll();
  Port->ClearErrors();
  EchoCheck = true;
  if (!WriteRaw(SyncBurst)) return false;
  if (method == 2) return true;
  std::string reply;
  if (!ReceiveReply(0, method == 3 ? 100 : 1500, reply)) return true;
  Port->ClearErrors();
  return Port->LastErrors() == 0 && (reply[0] == 'R' || reply[0] == 'V');
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
  if (method == 6) {
    const int baud = Port->Baud();
    Port->SetBaud(115200);
    Port->PurgeAll();
    uint8_t byte = 0;
    SelectCommandSet(ReadPort(&byte, 1, 100) == 1 ? 5 : 3);
    Port->SetBaud(baud);
    Port->ClearErrors();
    Port->PurgeAll();
  }
  bool connected = false;
  switch (ConnectMethod) {
    case 0:
      EchoCheck = false;
      Sleep(100);
      Port->SetBaud(115200);
      Port->PurgeAll();
      WriteRaw(SyncBurst);
      Port->PurgeReceive();
      connected = true;
      break;
    case 1:
      connected = ConnectBx2Loader();
      break;
    case 2:
    case 3:
    case 4:
      connected = ConnectBinaryBurst(ConnectMethod);
      break;
    default:
      connected = HuntBaud();
      break;
  }
  Step(0);
  if (connected) {
    if (!Identify(error)) State = usCommError;
  } else {
    error = Text(Ids.ErrorConnecting);
    State = usCommError;
  }
  Step(0);
  return error.empty();
}

bool TUpdater::Identify(std::string& error) {
  error = Text(Ids.ErrorConnecting);
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
  if (ConnectMethod == 2 || ConnectMethod == 3) SelectCommandSet(BootblockVersion > 114 ? 2 : 3);
  BootblockFirmwareVersion = byteAt(2) != 0 ? byteAt(2) : BootblockVersion;
  if (ConnectMethod != 4 && !(QueryId() && QueryConfig())) return false;
  if ((ConnectMethod == 0 || ConnectMethod == 2) && CarryVersion >= 0 && !ConfigBlank()) {
    if (!ReadDataImage()) return false;
    std::string carryError;
    ApplyAddedCalibrations(carryError);
    if (!carryError.empty()) return false;
  }
  error.clear();
  return true;
}

bool TUpdater::QueryId() {
  Sleep(20);
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
  if (ConnectMethod == 0 || ConnectMethod == 2) {
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
  return BootblockFirmwareVersion > 113 && SendFrame(CmdRestart);
}

void TUpdater::ShowResetInstruction(bool sendResetFrame, int32_t message, bool force) {
  if (!force && TryRunCommand()) return;
  if (message < 0) message = IsInverter ? Ids.InverterResetInstruction : Ids.ResetInstruction;
  ShowString(message);
  if (sendResetFrame) {
    SendResetFrame();
    Sleep(200);
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
  WriteRaw(resetFrame, 50);
  WriteRaw(resetFrame, 50);
  EchoCheck = echo;
  Port->SetBaud(19200);
  Port->SetBreak(true);
}

// ---- boot block check and part programming ---------------------------------------

int TUpdater::CheckBootblock(bool mayReplace) {
  const TCodePart* main = MainPart();
  Buffer->SetDataReversed(false);
  Buffer->SetSkipData(ConfigBlank());
  int result = bbNotSupported;
  if (BootblockVersion == 111) {
    Buffer->SetDataReversed(true);
    ShowString(Ids.Precaution);
    result = bbGoOn;
  } else if (BootblockVersion >= 112 && BootblockVersion <= 115) {
    result = bbGoOn;
  }
  if (result == bbGoOn && main) {
    const int mustBe = main->GetInt(QStringLiteral("MustBeBFV")) & 0xFF;
    const int minimum = main->GetInt(QStringLiteral("MinBFV"));
    if (BootblockFirmwareVersion < minimum || (mustBe != 0 && mustBe != BootblockFirmwareVersion)) {
      const bool canReplace = mayReplace && Buffer->IndexOfPart(QStringLiteral("Bootblock")) >= 0;
      result = canReplace ? ReplaceBootblock() : bbNewerRequired;
    }
  }
  return result;
}

bool TUpdater::WaitForBootblockRestart() {
  uint8_t byte = 0;
  if (ReadPort(&byte, 1, 3000) != 1) return false;
  int inRow = byte == 0xAA ? 1 : 0;
  for (int read = 1; read < 10 && inRow < 2; ++read) {
    if (ReadPort(&byte, 1, 50) != 1) return false;
    inRow = byte == 0xAA ? inRow + 1 : 0;
  }
  return inRow >= 2;
}

int TUpdater::ReplaceBootblock() {
  if (LongConfig) return bbNewerRequired;
  int result = bbUpdateFailed;
  TUpdaterNotifier kept = std::move(Notifier);
  Notifier = [this](int percent, int state) { ProgressNotifier(percent, state); };
  ProgressText = Text(Ids.UpdatingBootblock, 1);
  ShowProgress(QText(Text(Ids.UpdatingBootblock)), QText(ProgressText), 0, 100, 0, false);
  if (StartPart("Bootblock", true)) WaitWorkerPaused();
  ShowProgress(QString(), QString());
  Notifier = std::move(kept);
  if (State == usFinished) {
    ShowResetInstruction(true);
    ShowProgress(QText(Text(Ids.PleaseWait)), QText(Text(Ids.PleaseWait, 1)), 0, 100, 0, false);
    result = bbCommLost;
    if (WaitForBootblockRestart()) {
      WritePlain("\x55\xFF\x55\xFF\x55");
      Sleep(100);
      Port->SetBreak(true);
      Sleep(1000);
      ShowProgress(QString(), QString());
      std::string error;
      // The fresh check must never start a second replacement.
      if (ConnectDirect(ConnectMethod, false, error)) result = CheckBootblock(false);
    } else {
      ShowProgress(QString(), QString());
    }
  }
  return result;
}

bool TUpdater::StartPart(const std::string& name, bool withAuthorisation) {
  PartIndex = Buffer->IndexOfPart(QText(name));
  const TCodePart* part = Buffer->PartAt(PartIndex);
  if (!part) return false;
  PrefixFrames.clear();
  const int mainIndex = Buffer->IndexOfPart(QStringLiteral("Main"));
  const TCodePart* main = Buffer->PartAt(mainIndex);
  if (name == "Bootblock" && main && !main->SkipData) {
    // The device's data area goes ahead of the new boot loader.
    const int dataLines = main->GetInt(QStringLiteral("EL"));
    for (int i = 0; i < dataLines; ++i) PrefixFrames.push_back(BuildLine(mainIndex, i));
  }
  Port->PurgeAll();
  FramesTotal = static_cast<int>(PrefixFrames.size()) + part->SendLineCount();
  LastError.clear();
  if (!part->Nonce().isEmpty() && withAuthorisation) {
    const std::string auth = BuildAuthFrame(*part, true, true);
    if (!auth.empty()) {
      PrefixFrames.push_back(auth);
      ++FramesTotal;
    } else {
      LastError = Text(Ids.FileNotSuitable);
    }
  }
  FramesSent = 0;
  NextLine = 0;
  Percent = 0;
  if (!LastError.empty()) {
    State = usUnsuitable;
    return false;
  }
  State = usRunning;
  PauseRequested = false;
  return true;
}

namespace {

constexpr int DataLineSize = 74;
constexpr int DataLineIdentity = 2;
constexpr int DataLineData = 6;
constexpr int DataLineOffset = 70;
constexpr int DataBlockSize = 64;
constexpr int DataAreaSize = 256;

std::string ToBytes(const QByteArray& bytes) {
  return std::string(bytes.constData(), bytes.size());
}

}  // namespace

std::string TUpdater::BuildLine(int partIndex, int line) const {
  const TCodePart* part = Buffer->PartAt(partIndex);
  if (!part) return {};
  bool isData = false;
  std::string text = ToBytes(part->SendLineAt(line, isData));
  if (DeviceVersion >= 0 && isData) {
    // The fourth block is left to the device reached through the interface.
    const int fourthBlock = part->DataReversed ? 0 : 3;
    if (line == fourthBlock) return {};
  }
  if (text.empty()) return {};
  if (part->Nonce().isEmpty()) return "W" + AppendChecksum(text);
  if (!isData) return CmdWriteCode + text;
  const bool hasImage = static_cast<int>(DataImage.size()) == DataAreaSize;
  if ((ConnectMethod == 0 || ConnectMethod == 2) && hasImage &&
      static_cast<int>(text.size()) >= DataLineSize) {
    const int offset = static_cast<uint8_t>(text[DataLineOffset]) |
                       (static_cast<uint8_t>(text[DataLineOffset + 1]) << 8);
    // A block must lie wholly inside the data area; any other line goes as stored.
    if (offset + DataBlockSize <= DataAreaSize) {
      text.replace(DataLineData, DataBlockSize, DataImage, static_cast<size_t>(offset),
                   DataBlockSize);
      const std::string prefix = DeviceIdPrefix();
      text.replace(DataLineIdentity, prefix.size(), prefix);
    }
  }
  return CmdWriteData + text;
}

std::string TUpdater::BuildAuthFrame(const TCodePart& part, bool final, bool first) const {
  const QString nonce = part.Nonce();
  if (CmdAuthorise.empty() || nonce.isEmpty()) return {};
  int flags = part.UsedKey() != 0 ? 0x10 : 0;
  if (final) flags += 1;
  if (!first) flags += 8;
  std::string nonceBytes = HexToBytes(nonce.toStdString(), false);
  if (part.GetValue(QStringLiteral("KeyID")) == KffAbsentMarker) nonceBytes.erase(0, 4);
  std::string frame = CmdAuthorise;
  if (ConnectMethod == 3 || ConnectMethod == 4) {
    frame += AuthMarkerLong;
  } else {
    frame += AuthMarkerShort;
    frame += DeviceIdPrefix();
  }
  frame.push_back(static_cast<char>(flags));
  return frame + nonceBytes;
}

// ---- calibration carry-over --------------------------------------------------------

bool TUpdater::MemoryAccess(int address, int32_t& value, std::string& error, int dataType,
                            bool read) {
  TickBusy();
  bool ok = false;
  if (PostDriver) {
    ok = read ? ReadDeviceValue(PostDriver, address, value, dataType)
              : WriteDeviceValue(PostDriver, address, value, dataType);
  } else if (static_cast<int>(DataImage.size()) == DataAreaSize) {
    const size_t offset = static_cast<size_t>(address & 0xFF);
    const size_t width = dataType == dtByte ? 1 : (dataType == dtBit ? 0 : 2);
    // A word at the last offset would reach past the image.
    ok = offset + width <= DataImage.size();
    if (ok && read) {
      value = 0;
      for (size_t i = 0; i < width; ++i)
        value |= static_cast<int32_t>(static_cast<uint8_t>(DataImage[offset + i])) << (8 * i);
    } else if (ok) {
      for (size_t i = 0; i < width; ++i)
        DataImage[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
  }
  if (!ok) error = Text(Ids.GeneralError);
  return ok;
}

bool TUpdater::ConfigBlank() const {
  if (ConnectMethod == 0 || ConnectMethod == 2) return ConfigWord == 0 || ConfigWord == 0xFFFFFFFF;
  const TCodePart* main = MainPart();
  const std::string body = main ? ToBytes(main->ConfigBody()) : std::string();
  return DeviceConfig == std::string(32, '\0') && DeviceConfig != body && ConnectMethod != 3;
}

bool TUpdater::ReadDataImage() {
  const TCodePart* main = MainPart();
  if (!main) return false;
  DataImage.assign(DataAreaSize, '\0');
  std::string scratch(DataAreaSize, '\0');
  bool ok = true;
  for (int i = 0; i < 4 && ok; ++i) {
    bool isData = false;
    const std::string line = ToBytes(main->SendLineAt(i, isData));
    ok = isData && static_cast<int>(line.size()) >= DataLineData + DataBlockSize;
    if (ok) DataImage.replace(64 * i, DataBlockSize, line, DataLineData, DataBlockSize);
  }
  for (int i = 0; i < 4 && ok; ++i) {
    std::string reply;
    const std::string command = CmdReadData + std::string{static_cast<char>(64 * i), '\0'};
    ok = SendFrame(command) && ReceiveReply(0, 500, reply) && reply[0] == 'O' &&
         static_cast<int>(reply.size()) >= 1 + DataBlockSize;
    if (ok) scratch.replace(64 * i, DataBlockSize, reply, 1, DataBlockSize);
  }
  if (!ok) {
    DataImage.clear();
    return false;
  }
  for (size_t i = 0; i < scratch.size(); ++i)
    if (i / 8 < DeviceConfig.size() && TestBit(DeviceConfig.data(), static_cast<uint32_t>(i)))
      DataImage[i] = scratch[i];
  return true;
}

std::string TUpdater::FindAddedCalibrations() const {
  const TCodePart* main = MainPart();
  if (!main || ConfigBlank()) return {};
  const std::string body = ToBytes(main->ConfigBody());
  if (body.empty() || DeviceConfig.empty()) return {};
  return AddedCalibrationOffsets(DeviceConfig, body, LongConfig);
}

void TUpdater::ApplyAddedCalibrations(std::string& error) {
  const TCalibrationAccess access = [this](int address, int32_t& value, std::string& accessError,
                                           int dataType, bool read) {
    return MemoryAccess(address, value, accessError, dataType, read);
  };
  const TUnhandledText unhandled = [](const std::string& hex) {
    return FetchTextArgs(Ids.UnhandledCalibration, {TFormatArg(hex)});
  };
  ApplyCalibrationConversions(FindAddedCalibrations(), access, unhandled, error);
}

namespace {

bool IsInverterFamily(int32_t version) {
  const int32_t family = version / 100000;
  return family == 19 || family == 20;
}

// Version of the device behind the interface, asked twice; -1 when it does not answer.
int32_t AskVersion(TBusDriver* driver) {
  int32_t version = QueryVersion(driver);
  if (version == -1) version = QueryVersion(driver);
  return version;
}

}  // namespace

bool TUpdater::ResetDeviceIntoBootLoader(TBX2Driver& bx2) {
  bx2.SBlock[sbFlag7] = 1;
  bool ok = bx2.SendState(true, false);
  Step(0);
  std::string request(1, '\x03');
  ok = ok && bx2.AddressedQuery(0, request, -1, -1);
  Step(0);
  ok = ok && bx2.WaitSent();
  Step(0);
  if (ok) Sleep(200);
  Step(0);
  return ok;
}

bool TUpdater::MarkCarryOverPending(TBX2Driver& bx2) {
  int32_t status = 0;
  const bool read = ReadDeviceValue(&bx2, caStatus, status, dtByte);
  Step(0);
  if (!read) return false;
  if ((status & CarryPendingBit) != 0) return true;
  status |= CarryPendingBit;
  bool ok = SetEepromWrites(&bx2, true, DeviceVersion);
  Step(0);
  ok = ok && WriteDeviceValue(&bx2, caMapNumber, DeviceVersion % 1000, dtByte);
  Step(0);
  ok = ok && WriteDeviceValue(&bx2, caStatus, status, dtByte);
  Step(0);
  return ok;
}

void TUpdater::ConnectThroughInterface(int method, bool useConnectInfo, std::string& error) {
  Step(43);
  error.clear();
  TThreadPtr<TBusDriver> driver = DetectInterfaceBorrowed(*Port, nullptr, 0, DefaultDetectFlags);
  Step(0);
  bool deviceSilent = false;
  if (auto* bx2 = dynamic_cast<TBX2Driver*>(driver.get())) {
    SelectDeviceAddress(bx2);
    const int32_t version = AskVersion(bx2);
    Step(0);
    if (version == -1) {
      deviceSilent = true;
      DeviceVersion = 0;
    } else if (IsInverterFamily(version)) {
      DeviceVersion = version;
      bx2->ControllerType = bx2->ClassifyVersion(version);
      if (!(MarkCarryOverPending(*bx2) && ResetDeviceIntoBootLoader(*bx2))) {
        error = Text(Ids.GeneralError);
        State = usCommError;
      }
    } else {
      error = Text(Ids.IdError);
      State = usUnsuitable;
      DeviceVersion = version;
    }
  } else {
    error = Text(Ids.NoBx2Found);
    State = usCommError;
  }
  driver.reset();  // the port stays ours
  if (!error.empty()) return;
  Port->SetBreak(true);
  if (deviceSilent) {
    ShowResetInstruction(false, Ids.InverterResetInstruction, true);
  } else {
    Step(-30);
  }
  if (ConnectDirect(method, useConnectInfo, error) && DeviceVersion >= 0)
    GlobalSettings().WriteSetting(CalibrationMapKey(DeviceVersion), DeviceConfig);
}

bool TUpdater::ApplyStoredMap(int mapNumber, int32_t version, std::string& error) {
  std::string map = GlobalSettings().ReadSetting(CalibrationMapKey(mapNumber));
  if (map.empty()) map = DefaultCalibrationMap(mapNumber);
  if (map.empty()) {
    error = FetchTextArgs(Ids.InfoMissing, {TFormatArg(mapNumber), TFormatArg(version % 1000)});
    State = usUnsuitable;
    return false;
  }
  DeviceConfig = map.substr(0, 255);
  ApplyAddedCalibrations(error);
  return error.empty();
}

bool TUpdater::CarryOverThroughInterface(TBX2Driver& bx2, std::string& error) {
  const int32_t version = AskVersion(&bx2);
  Step(0);
  if (version == -1) return false;
  bx2.ControllerType = bx2.ClassifyVersion(version);
  int32_t status = 0;
  bool ok = ReadDeviceValue(&bx2, caStatus, status, dtByte);
  Step(0);
  if (ok && (status & CarryPendingBit) != 0) {
    status &= ~CarryPendingBit;
    int32_t mapNumber = NoMapNumber;
    ok = SetEepromWrites(&bx2, true, version) &&
         ReadDeviceValue(&bx2, caMapNumber, mapNumber, dtByte);
    Step(0);
    if (ok && mapNumber != NoMapNumber) {
      ok = ApplyStoredMap(mapNumber, version, error);
      Step(0);
      ok = ok && WriteDeviceValue(&bx2, caStatus, status, dtByte);
      Step(0);
    }
  }
  if (!ok) return false;
  std::string request(1, '\x03');
  ok = bx2.AddressedQuery(0, request, -1, -1);
  Step(0);
  ok = ok && bx2.WaitSent();
  Step(0);
  Sleep(200);
  return ok;
}

void TUpdater::PostProcess(const std::string& name, std::string& error, TUpdaterStep step) {
  error.clear();
  if (DeviceVersion < 0) {
    TryRunCommand();
    return;
  }
  ShowResetInstruction(false, Ids.InverterResetInstruction, false);
  const bool ownWindow = !step;
  if (ownWindow) {
    ShowProgress(QText(Caption(name)), QText(Text(Ids.PostProcessing)), 0, 100, 0, false);
  } else {
    StepCallback = std::move(step);
  }
  Step(50);
  Step(-40);  // the device needs about four seconds to start
  TThreadPtr<TBusDriver> driver = DetectInterfaceBorrowed(*Port, nullptr, 0, DefaultDetectFlags);
  if (!dynamic_cast<TBX2Driver*>(driver.get())) {
    driver.reset();
    ShowResetInstruction(false, Ids.InverterResetInstruction, true);
    driver = DetectInterfaceBorrowed(*Port, nullptr, 0, DefaultDetectFlags);
  }
  Step(0);
  if (auto* bx2 = dynamic_cast<TBX2Driver*>(driver.get())) {
    PostDriver = bx2;
    if (!CarryOverThroughInterface(*bx2, error) && error.empty()) {
      error = Text(Ids.GeneralError);
      State = usCommError;
    }
  } else {
    error = Text(Ids.NoBx2Found);
    State = usCommError;
  }
  PostDriver = nullptr;
  driver.reset();
  if (ownWindow) ShowProgress(QString(), QString());
}
