// Calibration carry-over around an update: the data area through the boot loader
// (methods that carry the configuration word), and through the BX2 interface the
// mark before programming and the conversions in the running device afterwards.
#include <QString>

#include "firmware/BootMethods.h"
#include "firmware/CarryOver.h"
#include "firmware/KFFFiles.h"
#include "firmware/Updater.h"
#include "firmware/UpdaterInternals.h"
#include "link/BX2Frames.h"
#include "serial/SerialPort.h"
#include "support/HardcodedStrings.h"
#include "support/Progress.h"
#include "support/Settings.h"
#include "support/Tools.h"
#include "variables/DeviceAccess.h"
#include "variables/DeviceSession.h"
#include "variables/ExtendedVariable.h"

using namespace updater;

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
  if (!ok) error = Text(Ids().GeneralError);
  return ok;
}

bool TUpdater::ConfigBlank() const {
  const TBootLoaderFacts& loader = Link.Facts();
  if (Link.Method().ConfigWord) return loader.ConfigWord == 0 || loader.ConfigWord == 0xFFFFFFFF;
  const TCodePart* main = MainPart();
  const std::string body = main ? ToBytes(main->ConfigBody()) : std::string();
  return loader.DeviceConfig == std::string(32, '\0') && loader.DeviceConfig != body &&
         Link.Method().ZeroConfigIsBlank;
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
    std::string block;
    ok = Link.ReadDataBlock(i, block);
    if (ok) scratch.replace(64 * i, DataBlockSize, block);
  }
  if (!ok) {
    DataImage.clear();
    return false;
  }
  const std::string& config = Link.Facts().DeviceConfig;
  for (size_t i = 0; i < scratch.size(); ++i)
    if (i / 8 < config.size() && TestBit(config.data(), static_cast<uint32_t>(i)))
      DataImage[i] = scratch[i];
  return true;
}

std::string TUpdater::FindAddedCalibrations() const {
  const TCodePart* main = MainPart();
  if (!main || ConfigBlank()) return {};
  const std::string body = ToBytes(main->ConfigBody());
  const TBootLoaderFacts& loader = Link.Facts();
  if (body.empty() || loader.DeviceConfig.empty()) return {};
  return AddedCalibrationOffsets(loader.DeviceConfig, body, loader.LongConfig);
}

void TUpdater::ApplyAddedCalibrations(std::string& error) {
  const TCalibrationAccess access = [this](int address, int32_t& value, std::string& accessError,
                                           int dataType, bool read) {
    return MemoryAccess(address, value, accessError, dataType, read);
  };
  const TUnhandledText unhandled = [](const std::string& hex) {
    return FetchTextArgs(Ids().UnhandledCalibration, {TFormatArg(hex)});
  };
  ApplyCalibrationConversions(FindAddedCalibrations(), access, unhandled, error);
}

namespace {

bool IsInverterFamily(int32_t version) {
  const int32_t family = version / 100000;
  return family == 19 || family == 20;
}

// The device behind the interface is asked its version a second time when the
// first request goes unanswered.
constexpr int VersionAttempts = 2;

// The device behind a BX2 (the only interface that reaches a device's boot loader).
bool IsBx2Session(const TDeviceSession& session) {
  return session.Driver() && session.Facts().InterfaceKind == TInterfaceKind::BX2;
}

}  // namespace

bool TUpdater::ResetDeviceIntoBootLoader(TBusDriver& driver) {
  bool ok = driver.SetStateFlag(sbFlag7);
  Step(0);
  std::string request(1, '\x03');
  ok = ok && driver.AddressedQuery(0, request, -1, -1);
  Step(0);
  ok = ok && driver.WaitSent();
  Step(0);
  if (ok) WaitMs(DeviceRestartMs);
  Step(0);
  return ok;
}

bool TUpdater::MarkCarryOverPending(TBusDriver& driver) {
  int32_t status = 0;
  const bool read = ReadDeviceValue(&driver, caStatus, status, dtByte);
  Step(0);
  if (!read) return false;
  if ((status & CarryPendingBit) != 0) return true;
  status |= CarryPendingBit;
  bool ok = SetEepromWrites(&driver, true, DeviceVersion);
  Step(0);
  ok = ok && WriteDeviceValue(&driver, caMapNumber, DeviceVersion % 1000, dtByte);
  Step(0);
  ok = ok && WriteDeviceValue(&driver, caStatus, status, dtByte);
  Step(0);
  return ok;
}

// Marks the carry-over in the device and sends it to its boot loader. A silent
// device sets `silent`: the user is asked to reset it by hand.
TResult TUpdater::PrepareDeviceThroughInterface(bool& silent) {
  TDeviceSession session(Port);  // the port stays ours
  session.Detect();
  Step(0);
  if (!IsBx2Session(session))
    return Fail(TUpdateState::CommError, TFault::NoInterface, Ids().NoBx2Found);
  const TResult device = session.ConnectDevice(VersionAttempts, TAddressSelection::Always);
  Step(0);
  if (!device) {
    silent = true;
    DeviceVersion = 0;
    return TResult::Success();
  }
  DeviceVersion = session.Facts().DeviceVersion;
  if (!IsInverterFamily(DeviceVersion))
    return Fail(TUpdateState::Unsuitable, TFault::Unsuitable, Ids().IdError);
  TBusDriver& driver = *session.Driver();
  if (!(MarkCarryOverPending(driver) && ResetDeviceIntoBootLoader(driver)))
    return Fail(TUpdateState::CommError, TFault::Communication, Ids().GeneralError);
  return TResult::Success();
}

TResult TUpdater::ConnectThroughInterface(int method, bool useConnectInfo) {
  Step(43);
  bool deviceSilent = false;
  TResult result = PrepareDeviceThroughInterface(deviceSilent);
  if (!result) return result;
  Port.SetBreak(true);
  if (deviceSilent) {
    ShowResetInstruction(false, Ids().InverterResetInstruction, true);
  } else {
    Step(-30);
  }
  result = ConnectDirect(method, useConnectInfo);
  if (result && DeviceVersion >= 0)
    GlobalSettings().WriteSetting(CalibrationMapKey(DeviceVersion), Link.Facts().DeviceConfig);
  return result;
}

bool TUpdater::ApplyStoredMap(int mapNumber, int32_t version, std::string& error) {
  std::string map = GlobalSettings().ReadSetting(CalibrationMapKey(mapNumber));
  if (map.empty()) map = DefaultCalibrationMap(mapNumber);
  if (map.empty()) {
    error = FetchTextArgs(Ids().InfoMissing, {TFormatArg(mapNumber), TFormatArg(version % 1000)});
    Streamer.SetState(TUpdateState::Unsuitable);
    return false;
  }
  Link.AdoptConfig(map.substr(0, 255));
  ApplyAddedCalibrations(error);
  return error.empty();
}

bool TUpdater::CarryOverThroughInterface(TDeviceSession& session, std::string& error) {
  // The device chosen before programming is asked again, without a new selection.
  const bool answered = session.ConnectDevice(VersionAttempts, TAddressSelection::Never).Ok();
  Step(0);
  if (!answered) return false;
  const int32_t version = session.Facts().DeviceVersion;
  TBusDriver& driver = *session.Driver();
  int32_t status = 0;
  bool ok = ReadDeviceValue(&driver, caStatus, status, dtByte);
  Step(0);
  if (ok && (status & CarryPendingBit) != 0) {
    status &= ~CarryPendingBit;
    int32_t mapNumber = NoMapNumber;
    ok = SetEepromWrites(&driver, true, version) &&
         ReadDeviceValue(&driver, caMapNumber, mapNumber, dtByte);
    Step(0);
    if (ok && mapNumber != NoMapNumber) {
      ok = ApplyStoredMap(mapNumber, version, error);
      Step(0);
      ok = ok && WriteDeviceValue(&driver, caStatus, status, dtByte);
      Step(0);
    }
  }
  if (!ok) return false;
  std::string request(1, '\x03');
  ok = driver.AddressedQuery(0, request, -1, -1);
  Step(0);
  ok = ok && driver.WaitSent();
  Step(0);
  WaitMs(DeviceRestartMs);
  return ok;
}

TResult TUpdater::PostProcess(const std::string& name, TUpdaterStep step) {
  if (DeviceVersion < 0) {
    Link.TryRunCommand();
    return TResult::Success();
  }
  ShowResetInstruction(false, Ids().InverterResetInstruction, false);
  const bool ownWindow = UseStepOrOwnWindow(std::move(step), name, Ids().PostProcessing);
  Step(50);
  Step(-40);  // the device needs about four seconds to start
  TDeviceSession session(Port);
  session.Detect();
  if (!IsBx2Session(session)) {
    session.StopDriver();
    ShowResetInstruction(false, Ids().InverterResetInstruction, true);
    session.Detect();
  }
  Step(0);
  TResult result;
  if (IsBx2Session(session)) {
    PostDriver = session.Driver();
    std::string error;
    if (!CarryOverThroughInterface(session, error) && error.empty())
      error = Fail(TUpdateState::CommError, TFault::Communication, Ids().GeneralError).Text();
    const bool unsuitable = State() == TUpdateState::Unsuitable;
    if (!error.empty())
      result = TResult::Failure(unsuitable ? TFault::Unsuitable : TFault::Communication, error);
  } else {
    result = Fail(TUpdateState::CommError, TFault::NoInterface, Ids().NoBx2Found);
  }
  // A failure never leaves the state of the finished programming behind.
  if (!result && State() == TUpdateState::Finished) Streamer.SetState(TUpdateState::CommError);
  PostDriver = nullptr;
  session.StopDriver();
  if (ownWindow) ShowProgress(QString(), QString());
  return result;
}
