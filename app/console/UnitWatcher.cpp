#include "app/console/UnitWatcher.h"

#include <chrono>

#include "link/BX2Driver.h"
#include "link/BusDriver.h"
#include "link/DeviceQueries.h"
#include "serial/PortMap.h"
#include "serial/SerialPort.h"

namespace {

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// ---- decisions ----------------------------------------------------------------

void TUnitPresence::Restart(int64_t nowMs) {
  Gone = false;
  LastSeenMs = nowMs;
  Ended = TUnitIdentity{};
}

TUnitPresence::TVerdict TUnitPresence::Probe(int64_t nowMs, bool interfaceFound,
                                             bool deviceAnswered, const TUnitIdentity& identity) {
  if (deviceAnswered) return Answered(nowMs, identity);
  if (Gone) return TVerdict::Stay;
  if (!interfaceFound) {
    // Nothing can be told about the unit while the interface is away: the time
    // without an answer counts only while the interface is there.
    LastSeenMs = nowMs;
    return TVerdict::Stay;
  }
  if (nowMs - LastSeenMs < AbsenceMs) return TVerdict::Stay;
  Gone = true;
  return TVerdict::Gone;
}

TUnitPresence::TVerdict TUnitPresence::Answered(int64_t nowMs, const TUnitIdentity& identity) {
  if (Gone) return TVerdict::NextUnit;
  LastSeenMs = nowMs;
  if (!Ended.Known) {
    Ended = identity;  // the first answer after the end comes from the ended unit
    return TVerdict::Stay;
  }
  // Another identity without an absence: the units were swapped between two probes,
  // or while the interface was away. Without an identity nothing tells them apart.
  return identity.Known && !(identity == Ended) ? TVerdict::NextUnit : TVerdict::Stay;
}

// ---- watching -----------------------------------------------------------------

TUnitWatcher::TUnitWatcher(TCycleView& view, QObject* parent) : QObject(parent), View(view) {
  Timer.setInterval(ProbeMs);
  connect(&Timer, &QTimer::timeout, this, &TUnitWatcher::ProbeOnce);
}

TUnitWatcher::~TUnitWatcher() {
  Stop();
}

void TUnitWatcher::Watch(uint32_t portNumber) {
  PortNumber = portNumber;
  Presence.Restart(SteadyMs());
  Active = true;
  Timer.start();
  QTimer::singleShot(0, this, &TUnitWatcher::ProbeOnce);  // learn the ended unit's identity
}

void TUnitWatcher::Stop() {
  Active = false;
  Return.Stop();
  Timer.stop();
  Session.Close();
}

void TUnitWatcher::ProbeOnce() {
  if (!Active || Busy) return;
  Busy = true;
  TUnitIdentity identity;
  bool interfaceFound = false;
  const bool answered = AskDevice(identity, interfaceFound);
  Busy = false;
  if (!Active) return;  // stopped while the probe pumped events
  switch (Presence.Probe(SteadyMs(), interfaceFound, answered, identity)) {
    case TUnitPresence::TVerdict::Stay:
      return;
    case TUnitPresence::TVerdict::Gone:
      View.AddLog("Waiting for the next device...", true, lcBlack, TLogStyle::Regular, false);
      return;
    case TUnitPresence::TVerdict::NextUnit:
      break;
  }
  Active = false;
  Timer.stop();
  TThreadPtr<TBusDriver> driver = Session.ReleaseDriver();  // it owns the port now
  Session.Close();
  if (OnNextUnit) OnNextUnit(std::move(driver));
}

// Opens the port when it is not open (it may have gone with the interface) and
// looks for the interface on it.
bool TUnitWatcher::EnsureDriver() {
  if (Session.Driver() && !Session.Driver()->PortFailed) return true;
  if (Session.PortLost()) PortGone();
  Session.StopDriver();  // a driver whose port failed has lost the port for good
  if (!Session.Port() && !OpenPort()) return false;
  return Session.Detect().Ok();
}

bool TUnitWatcher::OpenPort() {
  if (!Return.Waiting()) {
    if (Session.Open(PortNumber)) return true;
    PortGone();
    return false;
  }
  std::string blocker;
  std::unique_ptr<TRS232o> port = Return.TryOpen(blocker);
  if (!blocker.empty())
    View.AddLog(blocker, true, LogColourFor(TFault::PortUnavailable), TLogStyle::Regular, false);
  if (!port) return false;
  Session.UsePort(std::move(port));
  return true;
}

// Said once; the port is tried again once a second until it is back.
void TUnitWatcher::PortGone() {
  Session.Close();
  if (Return.Waiting()) return;
  Return.Lost(PortNumber);
  View.AddLog(PortLostText(PortNumber), true, LogColourFor(TFault::PortLost), TLogStyle::Regular,
              false);
  View.PortLost(PortNumber, PortPath(static_cast<int>(PortNumber)));
}

bool TUnitWatcher::AskDevice(TUnitIdentity& identity, bool& interfaceFound) {
  interfaceFound = EnsureDriver();
  if (!interfaceFound) return false;
  TBusDriver& driver = *Session.Driver();
  if (driver.InterfaceKind() == TInterfaceKind::BX2 && driver.LinkMode() == lsKMBus) {
    // One request tells both that a device is there and which one it is.
    TDeviceInfo info;
    ReadDeviceInfo(driver, info);
    if (info.DeviceAddress == 255) return false;
    identity = {true, info.FirstValue, info.SecondValue, info.DeviceAddress};
    return true;
  }
  std::string text;
  return RequestVersion(&driver, true, text) != -1;
}
