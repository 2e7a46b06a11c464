// Calibration carry-over around an update: the data area through the boot loader
// (methods that carry the configuration word), and through the BX2 interface the
// mark before programming and the conversions in the running device afterwards.
#include <QString>

#include "firmware/BootMethods.h"
#include "firmware/CarryOver.h"
#include "firmware/KFFFiles.h"
#include "firmware/Updater.h"
#include "firmware/UpdaterInternals.h"
#include "link/BX2Driver.h"
#include "link/Detection.h"
#include "link/DeviceQueries.h"
#include "serial/RS232o.h"
#include "support/HardcodedStrings.h"
#include "support/Progress.h"
#include "support/Statics.h"
#include "support/Tools.h"
#include "variables/DeviceAccess.h"
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
  if (ok) WaitMs(DeviceRestartMs);
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

TResult TUpdater::ConnectThroughInterface(int method, bool useConnectInfo) {
  Step(43);
  TResult result;
  TThreadPtr<TBusDriver> driver = DetectInterfaceBorrowed(Port, nullptr, 0, DefaultDetectFlags);
  Step(0);
  bool deviceSilent = false;
  if (auto* bx2 = dynamic_cast<TBX2Driver*>(driver.get())) {
    const int32_t version = ConnectDevice(bx2, VersionAttempts, TAddressSelection::Always);
    Step(0);
    if (version == -1) {
      deviceSilent = true;
      DeviceVersion = 0;
    } else if (IsInverterFamily(version)) {
      DeviceVersion = version;
      bx2->ControllerType = bx2->ClassifyVersion(version);
      if (!(MarkCarryOverPending(*bx2) && ResetDeviceIntoBootLoader(*bx2)))
        result = Fail(TUpdateState::CommError, TFault::Communication, Ids().GeneralError);
    } else {
      result = Fail(TUpdateState::Unsuitable, TFault::Unsuitable, Ids().IdError);
      DeviceVersion = version;
    }
  } else {
    result = Fail(TUpdateState::CommError, TFault::NoInterface, Ids().NoBx2Found);
  }
  driver.reset();  // the port stays ours
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

bool TUpdater::CarryOverThroughInterface(TBX2Driver& bx2, std::string& error) {
  const int32_t version = QueryVersion(&bx2, VersionAttempts);
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
  TThreadPtr<TBusDriver> driver = DetectInterfaceBorrowed(Port, nullptr, 0, DefaultDetectFlags);
  if (!dynamic_cast<TBX2Driver*>(driver.get())) {
    driver.reset();
    ShowResetInstruction(false, Ids().InverterResetInstruction, true);
    driver = DetectInterfaceBorrowed(Port, nullptr, 0, DefaultDetectFlags);
  }
  Step(0);
  TResult result;
  if (auto* bx2 = dynamic_cast<TBX2Driver*>(driver.get())) {
    PostDriver = bx2;
    std::string error;
    if (!CarryOverThroughInterface(*bx2, error) && error.empty())
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
  driver.reset();
  if (ownWindow) ShowProgress(QString(), QString());
  return result;
}
