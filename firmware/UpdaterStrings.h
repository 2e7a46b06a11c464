#pragma once
// The "updater" section of the string table: every text the updater shows or
// reports, with the indexes under which it is registered.

#include <cstdint>
#include <string>

// Declares the "updater" strings (idempotent).
void StartUnitUpdater();
void StopUnitUpdater();

// Indexes of the "updater" strings (valid after StartUnitUpdater()).
struct TUpdaterStringIds {
  int32_t CannotOpenPort = -1;
  int32_t Precaution = -1;
  int32_t BootblockUpdateQuestion = -1;
  int32_t ResetInstruction = -1;
  int32_t InverterResetInstruction = -1;
  int32_t UpdatingBootblock = -1;
  int32_t CommunicationError = -1;
  int32_t BootblockNotSupported = -1;
  int32_t NewerBootblockRequired = -1;
  int32_t BootblockUpdateFailed = -1;
  int32_t PleaseWait = -1;
  int32_t FileNotSuitable = -1;
  int32_t GeneralError = -1;
  int32_t BootstrapOverlap = -1;
  int32_t IdError = -1;
  int32_t UnexpectedResponse = -1;
  int32_t NoResponse = -1;
  int32_t ErrorConnecting = -1;
  int32_t NoBx2Found = -1;
  int32_t InfoMissing = -1;
  int32_t UnhandledCalibration = -1;
  int32_t UpdatingCaption = -1;
  int32_t TryingToConnect = -1;
  int32_t Programming = -1;
  int32_t PleaseWaitErasing = -1;
  int32_t PostProcessing = -1;
  int32_t ErrorDuringTransmit = -1;
};
const TUpdaterStringIds& UpdaterStringIds();

namespace updater {

inline const TUpdaterStringIds& Ids() {
  return UpdaterStringIds();
}
// A text of the "updater" section (`number` picks its second text).
std::string Text(int32_t id, int number = 0);
// "Updating %s" with the device name.
std::string Caption(const std::string& name);

}  // namespace updater
