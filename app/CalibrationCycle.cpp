#include "app/CalibrationCycle.h"

#include <QCoreApplication>
#include <QDir>

#include "link/BX2Driver.h"
#include "link/BusDriver.h"
#include "link/Detection.h"
#include "link/DeviceQueries.h"
#include "link/SerialBusDriver.h"
#include "serial/PortMap.h"
#include "serial/RS232o.h"
#include "support/StopRequest.h"
#include "support/Tools.h"
#include "variables/DeviceAccess.h"
#include "variables/ExtendedVariable.h"

std::string InstructionText;

void StartUnitInstructions() {
  InstructionText =
      "1) Connect BX2 (or similar) to orvo and switch on the Orvo.\r\n"
      "     (depending on the BX2 used, the device might switch to\r\n"
      "      inverter or stay off)\r\n"
      "\r\n"
      "2) Select the correct COM port in the box above.\r\n"
      "\r\n"
      "(Note: In some cases this program will first update the BX2\r\n"
      "please allow this otherwise the corrections cannot be made.)";
}

void StopUnitInstructions() {
  InstructionText.clear();
}

namespace {

constexpr int TickInterval = 200;
constexpr int32_t NotRead = NotReadSentinel;

constexpr uint16_t CalibrationSource = 0x21C4;
constexpr uint16_t FirstTarget = 0x21A8;
constexpr uint16_t SecondTarget = 0x21C2;
constexpr int32_t LargestWord = 65535;

int32_t Family(int32_t version) {
  return version / 100000;
}
int32_t Minor(int32_t version) {
  return version % 1000;
}

bool CorrectableFamily(int32_t family) {
  return family == 19 || family == 20 || family == 26 || family == 27;
}

}  // namespace

TCalibrationCycle::TCalibrationCycle(TCycleView& view, QObject* parent)
    : QObject(parent), View(view) {
  TickTimer.setInterval(TickInterval);
  connect(&TickTimer, &QTimer::timeout, this, &TCalibrationCycle::TestConnection);
}

TCalibrationCycle::~TCalibrationCycle() {
  ReleaseAll();
}

TCalibrationCycle::THandlerScope::THandlerScope(TCalibrationCycle& cycle) : Cycle(cycle) {
  ++Cycle.HandlerDepth;
}

TCalibrationCycle::THandlerScope::~THandlerScope() {
  if (--Cycle.HandlerDepth == 0) Cycle.RunDeferred();
}

void TCalibrationCycle::Initialise() {
  THandlerScope scope(*this);
  FPortNumbers.assign(1, 0);
  FVariable = std::make_unique<TExtendedVariable>(QStringLiteral("$2100 W"), false);
  if (!InstructionText.empty() && View.ShowsWindowTexts())
    AddLog(InstructionText, true, lcBlack, TLogStyle::Regular);
  TickTimer.start();
}

std::string TCalibrationCycle::ScanPortList(bool probe) {
  FPortNumbers.resize(1);
  std::string captions;
  ScanPorts(0, &FPortNumbers, MaxPortNumber, captions, probe);
  return captions;
}

int32_t TCalibrationCycle::PortAtItem(int index) const {
  // An item that has no entry in the list (the design-time "Com1" before the first
  // drop-down) is taken as "Select com port".
  if (index <= 0 || static_cast<size_t>(index) >= FPortNumbers.size()) return 0;
  return FPortNumbers[static_cast<size_t>(index)];
}

int TCalibrationCycle::ItemOfPort(int32_t number) const {
  for (size_t i = 1; i < FPortNumbers.size(); ++i)
    if (FPortNumbers[i] == number) return static_cast<int>(i);
  return 0;
}

void TCalibrationCycle::ChoosePortItem(int index) {
  if (ShutDown) return;
  const int32_t number = PortAtItem(index);
  if (InHandler()) {
    PendingChoice = number;  // carried out when the outermost handler has returned
    return;
  }
  THandlerScope scope(*this);
  SetComPort(number);
}

void TCalibrationCycle::ChoosePortNumber(uint32_t portNumber) {
  FPortNumbers.assign({0, static_cast<int32_t>(portNumber)});
  ChoosePortItem(1);
}

void TCalibrationCycle::SetComPort(int32_t number) {
  TickTimer.stop();
  FPort.reset();
  StopDriver();
  Return.Stop();
  LastRefusal.clear();
  if (number <= 0) {
    View.SelectPortItem(0);
    return;
  }
  FPort = std::make_unique<TRS232o>();
  FPort->Open(static_cast<uint32_t>(number), 1200, 'N', 1024, 1024);
  AddLog("", true, lcBlack, TLogStyle::Regular);
  if (FPort->PortNumber() != 0) {
    LogTrying(FPort->PortNumber());
    Facts = {};
    Facts.PortNumber = FPort->PortNumber();
    Facts.PortPath = PortPath(static_cast<int>(Facts.PortNumber));
    SinceChoice.start();
    // The list may have been rebuilt or moved since the choice: show what is open.
    View.SelectPortItem(ItemOfPort(number));
    TickTimer.start();
    return;
  }
  AddLog("Error opening port: COM" + std::to_string(number), true, lcBlack, TLogStyle::Regular);
  // Why it failed, in words the user can act on (e.g. the serial group on Linux).
  const std::string reason = OpenFailureText(FPort->LastOpenError());
  if (!reason.empty()) AddLog(reason, true, lcRed, TLogStyle::Regular);
  FPort.reset();
  View.SelectPortItem(0);
  View.PortOpenFailed(static_cast<uint32_t>(number), reason);
}

void TCalibrationCycle::AdoptDriver(TThreadPtr<TBusDriver> driver) {
  if (ShutDown || !driver) return;
  if (InHandler()) {
    PendingDriver = std::move(driver);  // taken when the outermost handler has returned
    return;
  }
  THandlerScope scope(*this);
  TakeDriver(std::move(driver));
}

void TCalibrationCycle::TakeDriver(TThreadPtr<TBusDriver> driver) {
  TickTimer.stop();
  FPort.reset();
  StopDriver();
  Return.Stop();
  LastRefusal.clear();
  FDriver = std::move(driver);
  TriedPort = static_cast<uint32_t>(FDriver->ConnectedPort());
  AddLog("", true, lcBlack, TLogStyle::Regular);
  AddLog("Trying to connect at COM" + std::to_string(FDriver->ConnectedPort()), true, lcBlack,
         TLogStyle::Regular);
  TickTimer.start();
  // The device has just answered: no need to wait for the timer's first tick.
  QTimer::singleShot(0, this, &TCalibrationCycle::TestConnection);
}

void TCalibrationCycle::TestConnection() {
  if (!TickTimer.isActive() || Ticking || ShutDown) return;
  TickTimer.stop();
  THandlerScope scope(*this);
  Ticking = true;
  RunTick();
  Ticking = false;
  if (!ShutDown) TickTimer.start();
}

void TCalibrationCycle::RunTick() {
  if (Return.Waiting()) {
    AwaitPort();
    return;
  }
  if (FDriver || FPort) AddLog("* ", false, lcBlack, TLogStyle::Regular);
  if (Stopping()) return;
  if (FPort) {
    StopDriver();
    FDriver = DetectInterface(FPort, nullptr, 0, DefaultDetectFlags);
  }
  if (Stopping()) return;
  const int32_t version = FDriver ? ConnectDevice(FDriver.get()) : -1;
  if (version != -1)
    HandleDevice(version);
  else
    CheckPortBlocked();
}

void TCalibrationCycle::HandleDevice(int32_t version) {
  AddLog("", true, lcBlack, TLogStyle::Regular);
  AddLog("", true, lcBlack, TLogStyle::Regular);
  AddLog("Connected!", true, lcBlack, TLogStyle::Regular);
  AddLog("Software version: " + std::to_string(version), true, lcBlack, TLogStyle::Regular);
  FDriver->ControllerType = FDriver->ClassifyVersion(version);
  NoteDevice(version);
  // Nothing has been written yet: a stop leaves the device as it was.
  if (Stopping()) {
    EndDevice(TDeviceOutcome::Interrupted);
    return;
  }
  const TDeviceOutcome outcome = CorrectDevice(version);
  AddLog(std::string(32, '_'), true, lcBlack, TLogStyle::Bold);
  if (View.ShowsWindowTexts()) {
    AddLog("Continue with next device or close program when ready.", true, lcBlack,
           TLogStyle::Regular);
    AddLog("(To restart, select comport.)", true, lcBlack, TLogStyle::Regular);
  }
  EndDevice(outcome);
}

void TCalibrationCycle::EndDevice(TDeviceOutcome outcome) {
  // A device that failed because the port went is tried again once the port is back;
  // a stop ends the run instead.
  const bool lost = FDriver && DriverLostPort(*FDriver) && outcome != TDeviceOutcome::Ok &&
                    outcome != TDeviceOutcome::Interrupted;
  StopDriver();
  if (lost) {
    LosePort(TriedPort);
    return;
  }
  View.SelectPortItem(0);
  View.DeviceDone(outcome);
}

// The switch is turned off before the result is recorded and shown, so that both
// tell whether it was; the lines keep their order.
TDeviceOutcome TCalibrationCycle::CorrectDevice(int32_t version) {
  TDeviceOutcome outcome = TDeviceOutcome::Ok;
  std::string result = "OK!";
  if (!EnableEepromWrites(true, version)) {
    outcome = TDeviceOutcome::EepromFailed;
    result = "Error in writing EEPROM.";
  } else if (!ApplyCorrection(*this, version)) {
    outcome = TDeviceOutcome::Failed;
    result = VersionPassesGate(version) ? "Error occurred" : GateMessage;
  }
  // A stop that cut the writes short is no verdict on the device.
  if (outcome != TDeviceOutcome::Ok && Stopping()) {
    outcome = TDeviceOutcome::Interrupted;
    result = InterruptedResult;
  }
  const bool switchedOff = SwitchEepromOff(version);
  if (Minor(version) > 140) Facts.EepromSwitchedOff = switchedOff;
  // Each result is recorded before it is shown.
  WriteRecord(result);
  if (outcome == TDeviceOutcome::Ok)
    AddLog("OK!", true, lcGreen, TLogStyle::Bold);
  else if (outcome == TDeviceOutcome::EepromFailed)
    AddLog("Error in writing EEPROM.", true, lcRed, TLogStyle::Bold);
  else if (outcome == TDeviceOutcome::Failed)
    AddLog("Error occurred", true, lcRed, TLogStyle::Bold);
  if (switchedOff) return outcome;
  AddLog(SwitchOffFailedMessage, true, lcRed, TLogStyle::Bold);
  return outcome == TDeviceOutcome::Interrupted ? outcome : TDeviceOutcome::SwitchLeftOn;
}

bool TCalibrationCycle::SwitchEepromOff(int32_t version) {
  // After a stop the switch still gets its attempts, for a short while only: a device
  // that answers needs one, a silent one must not hold up the end of the run.
  WindingDown = Stopping();
  WindDownUntil = TClock::now() + std::chrono::milliseconds(400);
  const bool off = EnableEepromWrites(false, version);
  WindingDown = false;
  return off;
}

bool TCalibrationCycle::Stopping() const {
  // A reply wait that would end past the time limit is not begun.
  return PendingShutdown || StopDueWithin(TBusDriver::ReplyTimeout);
}

bool TCalibrationCycle::MayRetry() const {
  if (WindingDown) return TClock::now() < WindDownUntil;
  return !Stopping();
}

void TCalibrationCycle::NoteDevice(int32_t version) {
  Facts.DeviceVersion = version;
  Facts.DeviceAddress = FDriver->GetAddress();
  if (FDriver->InterfaceVersion >= 0) Facts.InterfaceVersion = FDriver->InterfaceVersion;
  if (auto* bx2 = dynamic_cast<TBX2Driver*>(FDriver.get())) {
    Facts.InterfaceKind = "BX2";
    ModeName(bx2->LinkState, Facts.InterfaceMode);
  } else {
    Facts.InterfaceKind = "BX1";
  }
}

void TCalibrationCycle::NoteTarget(uint16_t address, int32_t written) {
  TTargetFacts target{address, written, std::nullopt};
  if (FVariable && FVariable->RawValue != NotRead) target.ReadBack = FVariable->RawValue;
  Facts.Targets.push_back(target);
}

void TCalibrationCycle::WriteRecord(const std::string& result) {
  Facts.Result = result;
  Facts.When = QDateTime::currentDateTimeUtc();
  Facts.DurationMs = SinceChoice.isValid() ? SinceChoice.elapsed() : 0;
  std::string error;
  if (Record && !Record->Append(Facts, error))
    View.RecordNotWritten(QDir::toNativeSeparators(Record->Path()).toStdString(), error);
  View.DeviceFactsKnown(Facts);
  // The next device on the same port counts from here.
  const TDeviceFacts done = Facts;
  Facts = {};
  Facts.PortNumber = done.PortNumber;
  Facts.PortPath = done.PortPath;
  SinceChoice.start();
}

bool TCalibrationCycle::Shutdown() {
  if (ShutDown) return true;
  if (InHandler()) {
    PendingShutdown = true;  // the running handler stops at its next safe point
    return false;
  }
  ReleaseAll();
  return true;
}

void TCalibrationCycle::StopDriver() {
  FDriver.reset();
}

void TCalibrationCycle::ReleaseAll() {
  ShutDown = true;
  PendingChoice.reset();
  TickTimer.stop();
  FVariable.reset();
  PendingDriver.reset();
  StopDriver();
  FPort.reset();
  Return.Stop();
}

// Runs what arrived while handlers ran, each inside a handler of its own, so that a
// choice made while a deferred one runs waits in turn.
void TCalibrationCycle::RunDeferred() {
  while (!InHandler() && !ShutDown && (PendingShutdown || PendingDriver || PendingChoice)) {
    ++HandlerDepth;
    if (PendingShutdown) {
      PendingShutdown = false;
      ReleaseAll();
      --HandlerDepth;
      emit ShutdownDone();
      return;
    }
    if (PendingDriver) {
      TakeDriver(std::move(PendingDriver));
    } else {
      const int32_t number = *PendingChoice;
      PendingChoice.reset();
      SetComPort(number);
    }
    --HandlerDepth;
  }
}

void TCalibrationCycle::AddLog(const std::string& text, bool newLine, uint32_t colour,
                               TLogStyle style, bool bullets) {
  View.AddLog(text, newLine, colour, style, bullets);
  // Keeps the window painting and the driver's notifications flowing during long steps.
  QCoreApplication::processEvents();
}

// ---- a port that went away or cannot be used ---------------------------------

void TCalibrationCycle::LogTrying(uint32_t portNumber) {
  TriedPort = portNumber;
  AddLog("Trying to connect at COM" + std::to_string(portNumber), true, lcBlack,
         TLogStyle::Regular);
  AddLog("Make sure device is switched on.", true, lcBlack, TLogStyle::Regular);
}

// Without this the "* " marks would go on for ever on a port that has gone, or on
// one that the interface's driver cannot use, with no word of why.
void TCalibrationCycle::CheckPortBlocked() {
  if ((FPort && FPort->PortNumber() == 0) || (FDriver && DriverLostPort(*FDriver))) {
    LosePort(TriedPort);
    return;
  }
  if (!FDriver) return;
  const std::string refusal = DriverPortRefusal(*FDriver);
  if (!refusal.empty()) TakeBackRefusedPort(refusal);
}

void TCalibrationCycle::LosePort(uint32_t portNumber) {
  StopDriver();
  FPort.reset();
  Return.Lost(portNumber);
  AddLog(PortLostText(portNumber), true, lcRed, TLogStyle::Regular);
  View.PortLost(portNumber, PortPath(static_cast<int>(portNumber)));
}

// Once the port is back the cycle goes on as if it had just been chosen.
void TCalibrationCycle::AwaitPort() {
  std::string blocker;
  std::unique_ptr<TRS232o> port = Return.TryOpen(blocker);
  if (!blocker.empty()) AddLog(blocker, true, lcRed, TLogStyle::Regular);
  if (!port) return;
  FPort = std::move(port);
  AddLog("", true, lcBlack, TLogStyle::Regular);
  LogTrying(FPort->PortNumber());
  Facts.PortPath = PortPath(static_cast<int>(TriedPort));
  SinceChoice.start();
}

// The refusal is said once; the port goes back to detection, so that another
// interface (or adapter) put on it is found.
void TCalibrationCycle::TakeBackRefusedPort(const std::string& refusal) {
  if (refusal != LastRefusal) {
    AddLog(refusal, true, lcRed, TLogStyle::Regular);
    AddLog("", true, lcBlack, TLogStyle::Regular);  // the marks go on below it
  }
  LastRefusal = refusal;
  auto* serial = dynamic_cast<TSerialBusDriver*>(FDriver.get());
  if (!serial) return;
  std::unique_ptr<TRS232o> port = serial->ReleasePort();
  StopDriver();
  FPort = std::move(port);
}

// ---- device access ----------------------------------------------------------

bool TCalibrationCycle::ReadVariable(TExtendedVariable& variable) {
  return ReadDeviceVariable(FDriver.get(), variable, [this] { return MayRetry(); });
}

bool TCalibrationCycle::WriteVariable(TExtendedVariable& variable) {
  return WriteDeviceVariable(FDriver.get(), variable, [this] { return MayRetry(); });
}

bool TCalibrationCycle::ReadDeviceWord(uint16_t address, int32_t& value, uint8_t dataType) {
  if (!FVariable) return false;
  FVariable->Address = address;
  FVariable->DataType = static_cast<TDataType>(dataType);
  const bool ok = ReadVariable(*FVariable);
  value = FVariable->RawValue;
  return ok;
}

bool TCalibrationCycle::WriteDeviceWord(uint16_t address, int32_t value, uint8_t dataType) {
  if (!FVariable) return false;
  FVariable->Address = address;
  FVariable->SetRawValue(value);
  FVariable->DataType = static_cast<TDataType>(dataType);
  return WriteVariable(*FVariable);
}

bool TCalibrationCycle::EnableEepromWrites(bool enable, int32_t version) {
  const int32_t minor = Minor(version);
  if (minor <= 140) return true;
  const uint16_t address = minor < 200 ? 1279 : 512;
  return WriteDeviceWord(address, enable ? 255 : 0, dtByte);
}

// ---- the correction -----------------------------------------------------------

int64_t ScaleCalibration(int32_t v) {
  const int32_t product = static_cast<int32_t>(static_cast<uint32_t>(v) * 64u);
  return RoundHalfAway(static_cast<double>(product) / 10.0);
}

bool VersionPassesGate(int32_t version) {
  return CorrectableFamily(Family(version)) && Minor(version) >= 200;
}

namespace {

bool WriteTarget(TCalibrationCycle& main, uint16_t address, int32_t value) {
  const bool ok = main.WriteDeviceWord(address, value, dtWord);
  main.NoteTarget(address, value);
  return ok;
}

}  // namespace

bool ApplyCorrection(TCalibrationCycle& main, int32_t version) {
  if (!VersionPassesGate(version)) {
    main.AddLog("Error:", true, lcRed, TLogStyle::Bold);
    main.AddLog(GateMessage, true, lcBlack, TLogStyle::Regular);
    return false;
  }
  main.AddLog("Adapting..", true, lcBlack, TLogStyle::Regular);
  int32_t v = NotRead;
  if (!main.ReadDeviceWord(CalibrationSource, v, dtWord)) return false;
  main.NoteSource(v);
  const int64_t scaled = ScaleCalibration(v);
  // A word cannot hold more than 65535: storing the low bits would put a wrong
  // calibration into the device, so such a value is refused before any write.
  if (scaled < 0 || scaled > LargestWord) return false;
  const auto value = static_cast<int32_t>(scaled);
  return WriteTarget(main, FirstTarget, value) && WriteTarget(main, SecondTarget, value);
}
