#pragma once
// The console's loop between units. After a unit has ended, the loop keeps its
// port and watches it without writing anything to the device: a light probe every
// ProbeMs asks the device for its information (which also identifies it). The unit
// counts as gone when the device has not answered for AbsenceMs while the interface
// was there; then "Waiting for the next device..." is logged and the next device
// that answers starts the next cycle on the watcher's driver. A device that answers
// with another identity than the ended unit's (swapped between two probes, or while
// the interface was away) is the next unit at once; the same identity never is.

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>

#include "app/CalibrationCycle.h"
#include "app/PortReturn.h"
#include "support/Threads.h"
#include "variables/DeviceSession.h"

// What the device-info answer tells about a unit.
struct TUnitIdentity {
  bool Known = false;
  uint32_t FirstValue = 0;
  int32_t SecondValue = -1;
  uint8_t Address = 255;
  bool operator==(const TUnitIdentity&) const = default;
};

// The watcher's decisions, without any I/O.
class TUnitPresence {
 public:
  enum class TVerdict {
    Stay,      // nothing new: the ended unit is still there, or none is yet
    Gone,      // the ended unit has gone (just now)
    NextUnit,  // another unit answers: start the next cycle
  };
  explicit TUnitPresence(int absenceMs) : AbsenceMs(absenceMs) {}
  // A unit has just ended and is taken to be still there.
  void Restart(int64_t nowMs);
  // One probe: whether the interface was found, whether a device answered, and
  // the identity it gave (Known false when the interface gives none).
  TVerdict Probe(int64_t nowMs, bool interfaceFound, bool deviceAnswered,
                 const TUnitIdentity& identity);
  bool UnitGone() const { return Gone; }

 private:
  TVerdict Answered(int64_t nowMs, const TUnitIdentity& identity);

  const int AbsenceMs;
  bool Gone = false;
  int64_t LastSeenMs = 0;
  TUnitIdentity Ended;  // of the unit that ended (learnt by the first probe)
};

class TRS232o;
class TBusDriver;

class TUnitWatcher : public QObject {
  Q_OBJECT

 public:
  static constexpr int ProbeMs = 500;
  static constexpr int AbsenceMs = 1500;

  explicit TUnitWatcher(TCycleView& view, QObject* parent = nullptr);
  ~TUnitWatcher() override;

  // A unit has ended on this port and its driver has been released: watch.
  void Watch(uint32_t portNumber);
  bool Watching() const { return Active; }
  // Ends the watching and frees the port.
  void Stop();

  // Receives the running driver when the next unit answers (the watcher has stopped).
  std::function<void(TThreadPtr<TBusDriver>)> OnNextUnit;

 private:
  void ProbeOnce();
  // Whether a device answered; interfaceFound tells whether the interface did.
  bool AskDevice(TUnitIdentity& identity, bool& interfaceFound);
  bool EnsureDriver();
  bool OpenPort();
  void PortGone();

  TCycleView& View;
  QTimer Timer;
  TUnitPresence Presence{AbsenceMs};
  uint32_t PortNumber = 0;
  TDeviceSession Session;
  TPortReturn Return;  // while the port is away
  bool Active = false;
  bool Busy = false;  // a probe pumps events; no second probe inside it
};
