#include "app/CalibrationCycle.h"

#include <QCoreApplication>

#include "link/BX2Driver.h"
#include "link/BusDriver.h"
#include "link/Detection.h"
#include "link/DeviceQueries.h"
#include "serial/PortMap.h"
#include "serial/RS232o.h"
#include "support/Tools.h"
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
constexpr int Attempts = 5;

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
  Timer1.setInterval(TickInterval);
  connect(&Timer1, &QTimer::timeout, this, &TCalibrationCycle::TestConnection);
}

TCalibrationCycle::~TCalibrationCycle() {
  ReleaseAll();
}

void TCalibrationCycle::Initialise() {
  FPortNumbers.assign(1, 0);
  FVariable = std::make_unique<TExtendedVariable>(QStringLiteral("$2100 W"), false);
  if (!InstructionText.empty()) AddLog(InstructionText, true, lcBlack, TLogStyle::Regular);
  Timer1.start();
}

std::string TCalibrationCycle::ScanPortList(bool probe) {
  FPortNumbers.resize(1);
  std::string captions;
  ScanPorts(0, &FPortNumbers, MaxPortNumber, captions, probe);
  return captions;
}

void TCalibrationCycle::ChoosePortItem(int index) {
  if (ShutDown) return;
  if (InTick()) {
    PendingChoice = index;  // carried out when the tick has returned
    return;
  }
  SetComPort(index);
}

void TCalibrationCycle::ChoosePortNumber(uint32_t portNumber) {
  if (InTick()) {
    // The list is rebuilt at once; the choice itself waits for the tick.
    FPortNumbers.assign({0, static_cast<int32_t>(portNumber)});
    PendingChoice = 1;
    return;
  }
  FPortNumbers.assign({0, static_cast<int32_t>(portNumber)});
  ChoosePortItem(1);
}

void TCalibrationCycle::SetComPort(int index) {
  Timer1.stop();
  FPort.reset();
  StopDriver();
  if (index <= 0) return;
  // An item that has no entry in the list (the design-time "Com1" before the first
  // drop-down) is taken as "Select com port".
  if (static_cast<size_t>(index) >= FPortNumbers.size()) {
    View.SelectPortItem(0);
    return;
  }
  const auto number = static_cast<uint32_t>(FPortNumbers[static_cast<size_t>(index)]);
  FPort = std::make_unique<TRS232o>();
  FPort->Open(number, 1200, 'N', 1024, 1024);
  AddLog("", true, lcBlack, TLogStyle::Regular);
  if (FPort->PortNumber() != 0) {
    AddLog("Trying to connect at COM" + std::to_string(FPort->PortNumber()), true, lcBlack,
           TLogStyle::Regular);
    AddLog("Make sure device is switched on.", true, lcBlack, TLogStyle::Regular);
    Timer1.start();
    return;
  }
  AddLog("Error opening port: COM" + std::to_string(number), true, lcBlack, TLogStyle::Regular);
  // Why it failed, in words the user can act on (e.g. the serial group on Linux).
  const std::string reason = OpenFailureText(FPort->LastOpenError());
  if (!reason.empty()) AddLog(reason, true, lcBlack, TLogStyle::Regular);
  FPort.reset();
  View.SelectPortItem(0);
  View.PortOpenFailed(number, reason);
}

void TCalibrationCycle::AdoptDriver(TThreadPtr<TBusDriver> driver) {
  if (ShutDown || !driver) return;
  if (InTick()) {
    PendingDriver = std::move(driver);  // taken when the tick has returned
    return;
  }
  TakeDriver(std::move(driver));
}

void TCalibrationCycle::TakeDriver(TThreadPtr<TBusDriver> driver) {
  Timer1.stop();
  FPort.reset();
  StopDriver();
  FDriver = std::move(driver);
  AddLog("", true, lcBlack, TLogStyle::Regular);
  AddLog("Trying to connect at COM" + std::to_string(FDriver->ConnectedPort()), true, lcBlack,
         TLogStyle::Regular);
  Timer1.start();
  // The device has just answered: no need to wait for the timer's first tick.
  QTimer::singleShot(0, this, &TCalibrationCycle::TestConnection);
}

void TCalibrationCycle::TestConnection() {
  if (!Timer1.isActive() || InTick() || ShutDown) return;
  Timer1.stop();
  ++TickDepth;
  RunTick();
  --TickDepth;
  if (!ShutDown) Timer1.start();
  RunDeferred();
}

void TCalibrationCycle::RunTick() {
  if (FDriver || FPort) AddLog("* ", false, lcBlack, TLogStyle::Regular);
  if (FPort) {
    StopDriver();
    FDriver = DetectInterface(FPort, nullptr, 0, DefaultDetectFlags);
  }
  int32_t version = -1;
  if (FDriver) {
    auto* bx2 = dynamic_cast<TBX2Driver*>(FDriver.get());
    if (bx2 && bx2->LinkState == lsKMBus) SelectDeviceAddress(FDriver.get());
    version = QueryVersion(FDriver.get());
  }
  if (version != -1) HandleDevice(version);
}

void TCalibrationCycle::HandleDevice(int32_t version) {
  AddLog("", true, lcBlack, TLogStyle::Regular);
  AddLog("", true, lcBlack, TLogStyle::Regular);
  AddLog("Connected!", true, lcBlack, TLogStyle::Regular);
  AddLog("Software version: " + std::to_string(version), true, lcBlack, TLogStyle::Regular);
  FDriver->ControllerType = FDriver->ClassifyVersion(version);

  TDeviceOutcome outcome = TDeviceOutcome::Ok;
  if (!EnableEepromWrites(true, version)) {
    AddLog("Error in writing EEPROM.", true, lcRed, TLogStyle::Bold);
    outcome = TDeviceOutcome::EepromFailed;
  } else if (ApplyCorrection(*this, version)) {
    AddLog("OK!", true, lcGreen, TLogStyle::Bold);
  } else {
    AddLog("Error occurred", true, lcRed, TLogStyle::Bold);
    outcome = TDeviceOutcome::Failed;
  }
  EnableEepromWrites(false, version);

  AddLog(std::string(32, '_'), true, lcBlack, TLogStyle::Bold);
  AddLog("Continue with next device or close program when ready.", true, lcBlack,
         TLogStyle::Regular);
  AddLog("(To restart, select comport.)", true, lcBlack, TLogStyle::Regular);
  StopDriver();
  View.SelectPortItem(0);
  View.DeviceDone(outcome);
}

bool TCalibrationCycle::Shutdown() {
  if (ShutDown) return true;
  if (InTick()) {
    PendingShutdown = true;
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
  Timer1.stop();
  FVariable.reset();
  PendingDriver.reset();
  StopDriver();
  FPort.reset();
}

void TCalibrationCycle::RunDeferred() {
  if (InTick()) return;
  if (PendingShutdown) {
    PendingShutdown = false;
    PendingChoice.reset();
    PendingDriver.reset();
    ReleaseAll();
    emit ShutdownDone();
    return;
  }
  if (PendingDriver) {
    TakeDriver(std::move(PendingDriver));
    return;
  }
  if (PendingChoice) {
    const int index = *PendingChoice;
    PendingChoice.reset();
    SetComPort(index);
  }
}

void TCalibrationCycle::AddLog(const std::string& text, bool newLine, uint32_t colour,
                               TLogStyle style, bool bullets) {
  View.AddLog(text, newLine, colour, style, bullets);
  // Keeps the window painting and the driver's notifications flowing during long steps.
  QCoreApplication::processEvents();
}

// ---- device access ----------------------------------------------------------

bool TCalibrationCycle::ReadVariable(TExtendedVariable& variable) {
  variable.SetRawValue(NotRead);
  if (!FDriver) return false;
  for (int i = 0; i < Attempts && variable.RawValue == NotRead; ++i) variable.Read(*FDriver, false);
  return variable.RawValue != NotRead;
}

bool TCalibrationCycle::WriteVariable(TExtendedVariable& variable) {
  const int32_t target = variable.RawValue;
  if (!FDriver) return false;
  for (int i = 0; i < Attempts; ++i) {
    variable.SetRawValue(target);
    variable.Write(*FDriver, false);
    ReadVariable(variable);
    if (variable.RawValue == target) return true;
  }
  return false;
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

bool ApplyCorrection(TCalibrationCycle& main, int32_t version) {
  if (!CorrectableFamily(Family(version)) || Minor(version) < 200) {
    main.AddLog("Error:", true, lcRed, TLogStyle::Bold);
    main.AddLog("Program intented for fimrware 19xx200/20xx200/26xx200/27xx200 or higher", true,
                lcBlack, TLogStyle::Regular);
    return false;
  }
  main.AddLog("Adapting..", true, lcBlack, TLogStyle::Regular);
  int32_t v = NotRead;
  if (!main.ReadDeviceWord(CalibrationSource, v, dtWord)) return false;
  const int64_t scaled = ScaleCalibration(v);
  // A word cannot hold more than 65535: storing the low bits would put a wrong
  // calibration into the device, so such a value is refused before any write.
  if (scaled < 0 || scaled > LargestWord) return false;
  const auto value = static_cast<int32_t>(scaled);
  return main.WriteDeviceWord(FirstTarget, value, dtWord) &&
         main.WriteDeviceWord(SecondTarget, value, dtWord);
}
