// The "updater" section of the string table: every text the updater shows or
// puts into LastError, declared once at unit start.
#include "firmware/UpdaterStrings.h"

#include "support/HardcodedStrings.h"
#include "support/Tools.h"

namespace {

TUpdaterStringIds Ids;
bool UnitStarted = false;

const char GeneralResetText[] =
    "Please reset!\r\rFollow the instructions below:\r\rIf the device being programmed is a "
    "Orvo/Telvik then:\r  - remove any AC input (Nimo only)\r  - switch device off and on.\r  - "
    "re-apply AC input if no DC available\r\rIf the device being programmed is an BX2 or remote "
    "panel then:\r  - leave any connected Orvo/Telvik untouched\r  - disconnect the RJ45 from the "
    "device\r  - reconnect the RJ45 to the device\r\rIf the device being programmed is any other "
    "device then:\r  - leave any connected Orvo/Telvik untouched\r  - remove any power supply "
    "from the device\r  - disconnect the RJ45 from the device\r  - reconnect the RJ45 to the "
    "device\r  - reconnect the removed power supplies\r\r\rPress OK AFTER the above steps are "
    "done.";

const char InverterResetText[] =
    "Please reset the Orvo/Telvik/Inverter!\r\rFollow the instructions below:\r\r  - remove any "
    "AC input (Nimo only)\r  - switch device off and on.\r  - re-apply AC input if no DC "
    "available\r\rPress OK AFTER the above steps are done.";

void DefineText(int32_t& id, const char* comment, std::vector<std::string> texts) {
  DefineString(id, skTextOnly, 0, 0, comment, texts);
}

void DeclareUpdaterStrings() {
  const char* reprogram = "message during reprogram";
  const char* ofDevice = "message during reprogram of device";
  const char* check = "message during bootblock check";
  const char* window = "information in progress window when updating a device";
  DeclareSection("updater", Ids.CannotOpenPort, Ids.ErrorDuringTransmit);
  DefineString(Ids.CannotOpenPort, skError, dbOK, 0, "[i] %d is comport number",
               {"Cannot open port: COM%d"});
  DefineString(Ids.Precaution, skWarning, dbOK, 0, reprogram,
               {("Precaution!\rDo not use the device when for some reason\rthe update process is "
                 "interrupted!\rJust restart update. This will fix corrupted firmware.")});
  DefineString(Ids.BootblockUpdateQuestion, skConfirmation, dbOK | dbCancel, 0, reprogram,
               {("The new firmware requires a Bootblock update!\rThis is not optional!\r\rContinue "
                 "with bootblock update?\r(Pressing cancel will terminate the update process.)")});
  DefineString(Ids.ResetInstruction, skInformation, dbOK, 0, reprogram, {GeneralResetText});
  DefineString(Ids.InverterResetInstruction, skInformation, dbOK, 0, reprogram,
               {InverterResetText});
  DefineText(Ids.UpdatingBootblock, ofDevice, {"Updating Bootblock", "progress"});
  DefineText(Ids.CommunicationError, check, {"Communication error!"});
  DefineText(Ids.BootblockNotSupported, check, {"Bootblock not supported"});
  DefineText(Ids.NewerBootblockRequired, check, {"A newer bootblock is required"});
  DefineText(Ids.BootblockUpdateFailed, check, {"Bootblock update failed!"});
  DefineText(Ids.PleaseWait, ofDevice, {"Please wait", "Replacing bootblock"});
  DefineText(Ids.FileNotSuitable, ofDevice,
             {"Error occurred.\rFile not suitable for this device!"});
  DefineText(Ids.GeneralError, ofDevice, {"General error occurred."});
  DefineText(Ids.BootstrapOverlap, ofDevice,
             {"Bootstrap overlap error in file.\rPlease contact Kalmeon."});
  DefineText(Ids.IdError, ofDevice, {"ID error occurred.\rFile not suitable for this device!"});
  DefineText(Ids.UnexpectedResponse, ofDevice, {"Unexpected response from target!"});
  DefineText(Ids.NoResponse, ofDevice, {"No response from target!"});
  DefineText(Ids.ErrorConnecting, ofDevice, {"Error connecting"});
  DefineText(Ids.NoBx2Found, ofDevice, {"No Bx2 or similar found on selected com port."});
  DefineText(Ids.InfoMissing, "[ii] message during postprocess",
             {"Info (%d/%d) missing!\r\rPlease contact Kalmeon Energy!"});
  DefineText(Ids.UnhandledCalibration, "[s] message during postprocess",
             {("Unhandled added calibration (%s)\r\rPlease download latest version of Quillon and "
               "retry.\rContact Kalmeon Energy if problem persists.")});
  DefineText(Ids.UpdatingCaption, "[s] caption for progress window when updating a device",
             {"Updating %s"});
  DefineText(Ids.TryingToConnect, window, {"Trying to connect ..."});
  DefineText(Ids.Programming, window, {"Programming"});
  DefineText(Ids.PleaseWaitErasing, window, {"Please wait, erasing"});
  DefineText(Ids.PostProcessing, window, {"Post processing"});
  DefineText(Ids.ErrorDuringTransmit, ofDevice, {"Error during transmit!"});
}

}  // namespace

void StartUnitUpdater() {
  if (UnitStarted) return;
  DeclareUpdaterStrings();
  UnitStarted = true;
}

void StopUnitUpdater() {
  // The string table goes after this unit; a later start declares the strings anew.
  Ids = TUpdaterStringIds();
  UnitStarted = false;
}

const TUpdaterStringIds& UpdaterStringIds() {
  return Ids;
}

namespace updater {

std::string Text(int32_t id, int number) {
  return FetchText(id, number);
}

std::string Caption(const std::string& name) {
  return FetchTextArgs(Ids().UpdatingCaption, {TFormatArg(name)});
}

}  // namespace updater
