#include "app/CalibrationCycle.h"

#include <QCoreApplication>
#include <QDir>

#include "link/BusDriver.h"
#include "link/Detection.h"
#include "serial/PortMap.h"
#include "serial/SerialPort.h"
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
  Session.Close();
  Return.Stop();
  LastRefusal.clear();
  if (number <= 0) {
    View.SelectPortItem(0);
    return;
  }
  const TResult opened = Session.Open(static_cast<uint32_t>(number));
  AddLog("", true, lcBlack, TLogStyle::Regular);
  if (opened) {
    LogTrying(Session.Port()->PortNumber());
    Facts = {};
    Facts.PortNumber = Session.Port()->PortNumber();
    Facts.PortPath = PortPath(static_cast<int>(Facts.PortNumber));
    SinceChoice.start();
    // The list may have been rebuilt or moved since the choice: show what is open.
    View.SelectPortItem(ItemOfPort(number));
    TickTimer.start();
    return;
  }
  AddLog("Error opening port: COM" + std::to_string(number), true, lcBlack, TLogStyle::Regular);
  // Why it failed, in words the user can act on (e.g. the serial group on Linux).
  const std::string reason = Session.OpenFailureReason();
  if (!reason.empty()) AddLog(reason, true, LogColourFor(opened.Fault()), TLogStyle::Regular);
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
  Session.Close();
  Return.Stop();
  LastRefusal.clear();
  Session.UseDriver(std::move(driver));
  TriedPort = static_cast<uint32_t>(Session.Driver()->ConnectedPort());
  AddLog("", true, lcBlack, TLogStyle::Regular);
  AddLog("Trying to connect at COM" + std::to_string(Session.Driver()->ConnectedPort()), true,
         lcBlack, TLogStyle::Regular);
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
  if (Session.Driver() || Session.Port()) AddLog("* ", false, lcBlack, TLogStyle::Regular);
  if (Stopping()) return;
  const TResult connected = ConnectOnTick();
  if (connected.Fault() == TFault::Stopped) return;
  if (connected)
    HandleDevice(Session.Facts().DeviceVersion);
  else
    CheckPortBlocked(connected);
}

// One detection pass on a port (a stop may come while it runs), then one try for the
// device behind the driver.
TResult TCalibrationCycle::ConnectOnTick() {
  if (Session.Port()) (void)Session.Detect();
  if (Stopping()) return TResult::Failure(TFault::Stopped);
  return Session.ConnectDevice();
}

void TCalibrationCycle::HandleDevice(int32_t version) {
  AddLog("", true, lcBlack, TLogStyle::Regular);
  AddLog("", true, lcBlack, TLogStyle::Regular);
  AddLog("Connected!", true, lcBlack, TLogStyle::Regular);
  AddLog("Software version: " + std::to_string(version), true, lcBlack, TLogStyle::Regular);
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
  const bool lost = Session.Driver() && Session.PortLost() && outcome != TDeviceOutcome::Ok &&
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
  if (EepromSwitchAddress(version) > 0) Facts.EepromSwitchedOff = switchedOff;
  // Each result is recorded before it is shown.
  WriteRecord(result);
  if (outcome == TDeviceOutcome::Ok)
    AddLog("OK!", true, LogColourFor(TFault::None), TLogStyle::Bold);
  else if (outcome == TDeviceOutcome::EepromFailed)
    AddLog("Error in writing EEPROM.", true, LogColourFor(TFault::NotVerified), TLogStyle::Bold);
  else if (outcome == TDeviceOutcome::Failed)
    AddLog("Error occurred", true, LogColourFor(TFault::Communication), TLogStyle::Bold);
  if (switchedOff) return outcome;
  AddLog(SwitchOffFailedMessage, true, LogColourFor(TFault::NotVerified), TLogStyle::Bold);
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
  const TSessionFacts& found = Session.Facts();
  Facts.DeviceVersion = version;
  Facts.DeviceAddress = found.DeviceAddress;
  if (found.InterfaceVersion >= 0) Facts.InterfaceVersion = found.InterfaceVersion;
  if (found.InterfaceKind == TInterfaceKind::BX2) {
    Facts.InterfaceKind = "BX2";
    ModeName(found.InterfaceMode, Facts.InterfaceMode);
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
  Session.StopDriver();
}

void TCalibrationCycle::ReleaseAll() {
  ShutDown = true;
  PendingChoice.reset();
  TickTimer.stop();
  FVariable.reset();
  PendingDriver.reset();
  Session.Close();
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
void TCalibrationCycle::CheckPortBlocked(const TResult& connected) {
  if (connected.Fault() == TFault::PortLost)
    LosePort(TriedPort);
  else if (connected.Fault() == TFault::PortUnavailable)
    TakeBackRefusedPort(connected.Text());
}

void TCalibrationCycle::LosePort(uint32_t portNumber) {
  Session.Close();
  Return.Lost(portNumber);
  AddLog(PortLostText(portNumber), true, LogColourFor(TFault::PortLost), TLogStyle::Regular);
  View.PortLost(portNumber, PortPath(static_cast<int>(portNumber)));
}

// Once the port is back the cycle goes on as if it had just been chosen.
void TCalibrationCycle::AwaitPort() {
  std::string blocker;
  std::unique_ptr<TRS232o> port = Return.TryOpen(blocker);
  if (!blocker.empty()) AddLog(blocker, true, lcRed, TLogStyle::Regular);
  if (!port) return;
  Session.UsePort(std::move(port));
  AddLog("", true, lcBlack, TLogStyle::Regular);
  LogTrying(Session.Port()->PortNumber());
  Facts.PortPath = PortPath(static_cast<int>(TriedPort));
  SinceChoice.start();
}

// The refusal is said once; the port goes back to detection, so that another
// interface (or adapter) put on it is found.
void TCalibrationCycle::TakeBackRefusedPort(const std::string& refusal) {
  if (refusal != LastRefusal) {
    AddLog(refusal, true, LogColourFor(TFault::PortUnavailable), TLogStyle::Regular);
    AddLog("", true, lcBlack, TLogStyle::Regular);  // the marks go on below it
  }
  LastRefusal = refusal;
  Session.TakeBackPort();
}

// ---- device access ----------------------------------------------------------

bool TCalibrationCycle::ReadVariable(TExtendedVariable& variable) {
  return ReadDeviceVariable(Session.Driver(), variable, [this] { return MayRetry(); });
}

bool TCalibrationCycle::WriteVariable(TExtendedVariable& variable) {
  return WriteDeviceVariable(Session.Driver(), variable, [this] { return MayRetry(); });
}

// On the window's variable, so that the last value read stays there for the record.
bool TCalibrationCycle::ReadDeviceWord(uint16_t address, int32_t& value, uint8_t dataType) {
  if (!FVariable) return false;
  return ReadDeviceValue(Session.Driver(), *FVariable, address, value, dataType,
                         [this] { return MayRetry(); });
}

bool TCalibrationCycle::WriteDeviceWord(uint16_t address, int32_t value, uint8_t dataType) {
  if (!FVariable) return false;
  return WriteDeviceValue(Session.Driver(), *FVariable, address, value, dataType,
                          [this] { return MayRetry(); });
}

// The switch of SetEepromWrites, except for firmware whose minor number names no
// switch (0 to 140): the updater asks a minor-0 device which switch it has, while
// the correction, which only writes to minor 200 and up, leaves such a device alone.
bool TCalibrationCycle::EnableEepromWrites(bool enable, int32_t version) {
  const int address = EepromSwitchAddress(version);
  if (address <= 0) return true;
  return WriteDeviceWord(static_cast<uint16_t>(address), EepromSwitchValue(enable), dtByte);
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
