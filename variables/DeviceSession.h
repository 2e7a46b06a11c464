#pragma once
// One device behind one interface on one serial port: opens the port as every
// service task uses it (or works on a port the caller lends), finds the interface on
// it, connects the device behind it, tells the driver which controller the device
// has, and reports what it found. The steps can be taken one at a time (the
// window's cycle takes them on its timer ticks, so that no tick waits longer than
// one step) or one after the other (Connect).
//
// Everything runs on the caller's thread; failures come back with their kind and
// the text the user reads.

#include <cstdint>
#include <memory>
#include <string>

#include "link/BusDriver.h"
#include "link/Detection.h"
#include "link/DeviceQueries.h"
#include "support/Result.h"
#include "support/Threads.h"

class TRS232o;

// What a session has found out: the interface's facts once it is found, the device's
// once it has answered (DeviceVersion -1 until then).
struct TSessionFacts {
  TInterfaceKind InterfaceKind = TInterfaceKind::BX1;
  uint8_t InterfaceMode = 0;      // the driver's link mode; 0 for an interface without modes
  int32_t InterfaceVersion = -1;  // -1 when the interface reports none (the BX1)
  uint8_t DeviceAddress = 0;
  int32_t DeviceVersion = -1;
  uint8_t ControllerType = 0;
};

// Opens port n with the setting of every service task: 1200 baud, no parity, 1 KiB
// queues. PortUnavailable: "Error opening port: COMn", then why on a line of its own
// when that is known (the port's LastOpenError holds the details).
TResult OpenServicePort(TRS232o& port, uint32_t portNumber);

class TDeviceSession {
 public:
  // A session that owns the port it opens or is given, and frees it.
  TDeviceSession();
  // A session on the caller's open port (the updater's): its drivers use the port
  // but never free it, and they are stopped before the session ends.
  explicit TDeviceSession(TRS232o& lent);
  ~TDeviceSession();
  TDeviceSession(const TDeviceSession&) = delete;
  TDeviceSession& operator=(const TDeviceSession&) = delete;

  // Opens port n (see OpenServicePort) in place of whatever the session held.
  // On failure the session holds nothing and OpenFailureReason says why.
  TResult Open(uint32_t portNumber);
  const std::string& OpenFailureReason() const { return LastOpenReason; }
  // Takes an open port (a port that came back) or a running driver (a device already
  // answered on it) in place of whatever the session held.
  void UsePort(std::unique_ptr<TRS232o> port);
  void UseDriver(TThreadPtr<TBusDriver> driver);

  // One detection pass on the port, unless a driver already runs; notes the
  // interface's facts. NoInterface, or PortLost when the port has gone.
  TResult Detect(uint8_t flags = DefaultDetectFlags);
  // Finds the device behind the driver (ConnectDevice, with its address selection
  // and attempts), sets the driver's controller type and notes the facts. NoDevice
  // (NoInterface without a driver); PortLost when the port has gone; PortUnavailable
  // with the driver's refusal when it cannot use the port.
  TResult ConnectDevice(int versionAttempts = 1,
                        TAddressSelection selection = TAddressSelection::KMBusOnly);
  // Detect, then ConnectDevice.
  TResult Connect(int versionAttempts = 1,
                  TAddressSelection selection = TAddressSelection::KMBusOnly);

  // The port went away (a read or write found the device gone, or it closed).
  bool PortLost() const;
  // Why the driver cannot work on a port that is there, or "".
  std::string PortRefusal() const;
  // Takes the port back from a driver that refused it and stops the driver, so that
  // detection can run on the port again.
  void TakeBackPort();
  // Hands the running driver over (it owns the port now); the session holds nothing.
  TThreadPtr<TBusDriver> ReleaseDriver();
  void StopDriver();
  // Stops the driver and frees an owned port.
  void Close();

  TRS232o* Port() const;
  TBusDriver* Driver() const { return FDriver.get(); }
  const TSessionFacts& Facts() const { return FFacts; }

 private:
  TResult Blockage(TFault otherwise) const;
  void NoteInterface();
  void NoteFacts(int32_t version);

  TRS232o* Lent = nullptr;
  std::unique_ptr<TRS232o> FPort;
  TThreadPtr<TBusDriver> FDriver;
  TSessionFacts FFacts;
  uint32_t PortNumber = 0;  // the number opened or last seen, for the texts
  std::string LastOpenReason;
};
