#include "variables/DeviceSession.h"

#include <utility>

#include "serial/SerialPort.h"

namespace {

constexpr int ServiceBaud = 1200;
constexpr char ServiceParity = 'N';
constexpr uint32_t ServiceQueueBytes = 1024;

std::string NoDeviceText(uint32_t portNumber) {
  return "No device found on COM" + std::to_string(portNumber) + ".";
}

}  // namespace

TResult OpenServicePort(TRS232o& port, uint32_t portNumber) {
  if (port.Open(portNumber, ServiceBaud, ServiceParity, ServiceQueueBytes, ServiceQueueBytes))
    return TResult::Success();
  std::string text = "Error opening port: COM" + std::to_string(portNumber);
  const std::string reason = OpenFailureText(port.LastOpenError());
  if (!reason.empty()) text += "\n" + reason;
  return TResult::Failure(TFault::PortUnavailable, std::move(text));
}

TDeviceSession::TDeviceSession() = default;

TDeviceSession::TDeviceSession(TRS232o& lent) : Lent(&lent), PortNumber(lent.PortNumber()) {}

// The driver goes first: it may still use the port until it has stopped.
TDeviceSession::~TDeviceSession() {
  Close();
}

TResult TDeviceSession::Open(uint32_t portNumber) {
  Close();
  LastOpenReason.clear();
  PortNumber = portNumber;
  auto port = std::make_unique<TRS232o>();
  TResult opened = OpenServicePort(*port, portNumber);
  if (opened) {
    FPort = std::move(port);
  } else {
    LastOpenReason = OpenFailureText(port->LastOpenError());
  }
  return opened;
}

void TDeviceSession::UsePort(std::unique_ptr<TRS232o> port) {
  Close();
  FPort = std::move(port);
  if (FPort) PortNumber = FPort->PortNumber();
}

void TDeviceSession::UseDriver(TThreadPtr<TBusDriver> driver) {
  Close();
  FDriver = std::move(driver);
  if (!FDriver) return;
  PortNumber = static_cast<uint32_t>(FDriver->ConnectedPort());
  NoteInterface();
}

TResult TDeviceSession::Detect(uint8_t flags) {
  if (FDriver) return TResult::Success();
  FFacts = {};
  if (Lent)
    FDriver = DetectInterfaceBorrowed(*Lent, nullptr, 0, flags);
  else
    FDriver = DetectInterface(FPort, nullptr, 0, flags);
  if (!FDriver) return Blockage(TFault::NoInterface);
  NoteInterface();
  return TResult::Success();
}

TResult TDeviceSession::ConnectDevice(int versionAttempts, TAddressSelection selection) {
  if (!FDriver) return Blockage(TFault::NoInterface);
  const int32_t version = ::ConnectDevice(FDriver.get(), versionAttempts, selection);
  if (version == -1) return Blockage(TFault::NoDevice);
  FDriver->ControllerType = FDriver->ClassifyVersion(version);
  NoteFacts(version);
  return TResult::Success();
}

TResult TDeviceSession::Connect(int versionAttempts, TAddressSelection selection) {
  if (TResult found = Detect(); !found) return found;
  return ConnectDevice(versionAttempts, selection);
}

// Why nothing answered: a port that went or that the driver refuses tells more than
// the silence.
TResult TDeviceSession::Blockage(TFault otherwise) const {
  if (PortLost())
    return TResult::Failure(TFault::PortLost, "Com " + std::to_string(PortNumber) + " lost.");
  if (std::string refusal = PortRefusal(); !refusal.empty())
    return TResult::Failure(TFault::PortUnavailable, std::move(refusal));
  return TResult::Failure(otherwise, NoDeviceText(PortNumber));
}

void TDeviceSession::NoteInterface() {
  FFacts.InterfaceKind = FDriver->InterfaceKind();
  FFacts.InterfaceMode = FDriver->LinkMode();
  FFacts.InterfaceVersion = FDriver->InterfaceVersion;
}

// The mode is read again: selecting the device's address can change it.
void TDeviceSession::NoteFacts(int32_t version) {
  NoteInterface();
  FFacts.DeviceAddress = FDriver->GetAddress();
  FFacts.DeviceVersion = version;
  FFacts.ControllerType = FDriver->ControllerType;
}

bool TDeviceSession::PortLost() const {
  const TRS232o* port = Port();
  if (port && port->PortNumber() == 0) return true;
  return FDriver && DriverLostPort(*FDriver);
}

std::string TDeviceSession::PortRefusal() const {
  return FDriver ? DriverPortRefusal(*FDriver) : std::string();
}

void TDeviceSession::TakeBackPort() {
  if (!FDriver) return;
  std::unique_ptr<TRS232o> port = FDriver->ReleasePort();
  FDriver.reset();
  if (!Lent)
    FPort = std::move(port);
  else
    (void)port.release();  // the caller's all along
}

TThreadPtr<TBusDriver> TDeviceSession::ReleaseDriver() {
  FFacts = {};
  return std::move(FDriver);
}

void TDeviceSession::StopDriver() {
  FDriver.reset();
}

void TDeviceSession::Close() {
  FDriver.reset();
  FPort.reset();
  FFacts = {};
}

TRS232o* TDeviceSession::Port() const {
  return Lent ? Lent : FPort.get();
}
