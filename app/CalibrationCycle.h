#pragma once
// The calibration job without any window: the port choice, the 200 ms connection
// cycle, the EEPROM switch and the correction itself. The main window and the
// console are two thin users of this object; they show what it logs (TCycleView)
// and forward the user's choices to it.
//
// Everything here runs on the main thread. The handlers pump events (through the log,
// the stop of a driver, the port list's cursor), so a port choice or a shutdown can
// arrive while one runs; such requests are deferred until the outermost handler has
// returned, so that nothing a handler still uses is freed under it.

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/CalibrationRecord.h"
#include "app/PortReturn.h"
#include "serial/RS232Tools.h"
#include "support/Result.h"
#include "support/Threads.h"
#include "variables/DeviceSession.h"

class TRS232o;
class TBusDriver;
class TExtendedVariable;

// Log colours as colour references 0x00BBGGRR.
enum TLogColour : uint32_t {
  lcBlack = 0,
  lcRed = 255,
  lcGreen = 0x008000,
};

// A line that says how a step ended: green when it succeeded, red when it failed.
constexpr TLogColour LogColourFor(TFault fault) {
  return fault == TFault::None ? lcGreen : lcRed;
}

enum class TLogStyle { Regular, Bold };

// How a device ended.
enum class TDeviceOutcome {
  Ok,            // "OK!"
  Failed,        // "Error occurred"
  EepromFailed,  // "Error in writing EEPROM."
  SwitchLeftOn,  // a result, but "EEPROM writes could not be switched off"
  Interrupted,   // stopped at a safe point before the device had its result
};

// What the cycle needs from whoever shows it.
class TCycleView {
 public:
  virtual ~TCycleView() = default;
  virtual void AddLog(const std::string& text, bool newLine, uint32_t colour, TLogStyle style,
                      bool bullets) = 0;
  // Sets the port combo's selection from code (never runs a port choice).
  virtual void SelectPortItem(int index) = 0;
  // A device has been handled (after its closing lines were logged).
  virtual void DeviceDone(TDeviceOutcome /*outcome*/) {}
  // The chosen port could not be opened (after "Error opening port: COM" was logged).
  virtual void PortOpenFailed(uint32_t /*portNumber*/, const std::string& /*reason*/) {}
  // The device's calibration record could not be written (before its result is logged).
  virtual void RecordNotWritten(const std::string& /*path*/, const std::string& /*reason*/) {}
  // What the cycle knows of a device at its result (before its result is logged).
  virtual void DeviceFactsKnown(const TDeviceFacts& /*facts*/) {}
  // The port went away (after its line was logged); `path` is the device it led to.
  virtual void PortLost(uint32_t /*portNumber*/, const std::string& /*path*/) {}
  // Whether the window's instructions and restart lines are shown ("Select the
  // correct COM port in the box above."); a console says what it does itself.
  virtual bool ShowsWindowTexts() const { return true; }
};

// The user instructions shown at start.
extern std::string InstructionText;
void StartUnitInstructions();
void StopUnitInstructions();

// The fixed texts of the window.
inline constexpr const char* MainCaption = "Calibration for 0A8-0AF";
inline constexpr const char* VersionCaption = "program version 9007119.4";
inline constexpr const char* SelectPortCaption = "Select com port";
inline constexpr const char* GateMessage =
    "Program intented for fimrware 19xx200/20xx200/26xx200/27xx200 or higher";
inline constexpr const char* SwitchOffFailedMessage = "EEPROM writes could not be switched off";
inline constexpr const char* InterruptedResult = "Interrupted";

class TCalibrationCycle : public QObject {
  Q_OBJECT

 public:
  explicit TCalibrationCycle(TCycleView& view, QObject* parent = nullptr);
  ~TCalibrationCycle() override;

  // Start: creates the variable and logs the instructions.
  void Initialise();
  // Rebuilds the port list (entry 0 stays 0) and returns the captions, one per line
  // separated by carriage returns. Does not touch an open port or a running driver.
  std::string ScanPortList(bool probe);
  const TPortList& PortNumbers() const { return FPortNumbers; }
  // The user chose combo item `index` (0 = "Select com port"). Deferred while a handler
  // runs; the port is taken from the list as it is at the moment of the choice.
  void ChoosePortItem(int index);
  // Makes port n the only listed port and chooses it (the console's --port).
  void ChoosePortNumber(uint32_t portNumber);
  // Takes over a running driver on which a device has answered (the console's loop
  // between units found it) and runs the cycle on it at once. Deferred during a tick.
  void AdoptDriver(TThreadPtr<TBusDriver> driver);
  // The timer tick. Public so that tests and the window can run one directly.
  void TestConnection();
  // Frees the variable, the driver and the port. While a handler runs it is deferred
  // and ShutdownDone is emitted when it has been carried out; returns true when done now.
  bool Shutdown();

  // Marks a handler that can process events for its lifetime. Choices and the shutdown
  // that arrive meanwhile wait; the outermost scope carries them out when it ends.
  class THandlerScope {
   public:
    explicit THandlerScope(TCalibrationCycle& cycle);
    ~THandlerScope();
    THandlerScope(const THandlerScope&) = delete;
    THandlerScope& operator=(const THandlerScope&) = delete;

   private:
    TCalibrationCycle& Cycle;
  };

  bool InTick() const { return Ticking; }
  bool InHandler() const { return HandlerDepth > 0; }
  bool TimerEnabled() const { return TickTimer.isActive(); }
  QTimer& Timer() { return TickTimer; }
  TRS232o* Port() const { return Session.Port(); }
  TBusDriver* Driver() const { return Session.Driver(); }
  TExtendedVariable* Variable() const { return FVariable.get(); }

  // ---- the correction's device access (through Variable and Driver) ----
  bool ReadVariable(TExtendedVariable& variable);
  bool WriteVariable(TExtendedVariable& variable);
  bool ReadDeviceWord(uint16_t address, int32_t& value, uint8_t dataType);
  bool WriteDeviceWord(uint16_t address, int32_t value, uint8_t dataType);
  bool EnableEepromWrites(bool enable, int32_t version);
  // Whether the job is to end at its next safe point: a stop was asked for (a signal,
  // the time limit) or the shutdown waits for the running handler. Before a device's
  // first write nothing more is sent; once the writes have begun, the correction is
  // finished without retries (a device that answers needs none) and the EEPROM write
  // switch is turned off.
  bool Stopping() const;

  void AddLog(const std::string& text, bool newLine, uint32_t colour, TLogStyle style,
              bool bullets = false);

  // ---- the calibration record ----
  // Each device's result is appended to `record` (not owned; none = no record).
  void SetRecord(const TCalibrationRecord* record) { Record = record; }
  // The correction reports what it read and what it wrote (with the read-back).
  void NoteSource(int32_t value) { Facts.Source = value; }
  void NoteTarget(uint16_t address, int32_t written);

 signals:
  void ShutdownDone();

 private:
  void SetComPort(int32_t number);
  int32_t PortAtItem(int index) const;
  int ItemOfPort(int32_t number) const;
  void TakeDriver(TThreadPtr<TBusDriver> driver);
  void RunTick();
  void HandleDevice(int32_t version);
  TDeviceOutcome CorrectDevice(int32_t version);
  bool SwitchEepromOff(int32_t version);
  bool MayRetry() const;
  void EndDevice(TDeviceOutcome outcome);
  void StopDriver();
  void ReleaseAll();
  void RunDeferred();
  void NoteDevice(int32_t version);
  void WriteRecord(const std::string& result);
  // ---- a port that went away or cannot be used ----
  void LogTrying(uint32_t portNumber);
  void CheckPortBlocked(const TResult& connected);
  void LosePort(uint32_t portNumber);
  void AwaitPort();
  void TakeBackRefusedPort(const std::string& refusal);
  TResult ConnectOnTick();

  TCycleView& View;
  QTimer TickTimer;
  TPortList FPortNumbers{0};
  TDeviceSession Session;
  std::unique_ptr<TExtendedVariable> FVariable;
  bool Ticking = false;
  int HandlerDepth = 0;
  std::optional<int32_t> PendingChoice;  // a port number; 0 = "Select com port"
  TThreadPtr<TBusDriver> PendingDriver;
  bool PendingShutdown = false;
  bool ShutDown = false;
  bool WindingDown = false;  // turning the switch off after a stop
  TDateTime WindDownUntil{};
  const TCalibrationRecord* Record = nullptr;
  TDeviceFacts Facts;
  QElapsedTimer SinceChoice;  // port choice or previous device
  uint32_t TriedPort = 0;     // the port being tried, for its loss
  TPortReturn Return;
  std::string LastRefusal;  // logged once, not on every tick
};

// Whether the correction applies to a firmware version (19xx200, 20xx200, 26xx200,
// 27xx200 or higher).
bool VersionPassesGate(int32_t version);

// The correction itself: gate on the version, rescale the calibration word at
// 0x21C4 by 64/10 and store it at 0x21A8 and 0x21C2, each verified.
bool ApplyCorrection(TCalibrationCycle& main, int32_t version);

// The scaled value of the correction: RoundHalfAway(v * 64 / 10).
int64_t ScaleCalibration(int32_t v);
