#include "firmware/InterfaceRefresh.h"

#include <QBuffer>
#include <QByteArray>
#include <QIODevice>
#include <QString>

#include <array>
#include <memory>
#include <utility>

#include "firmware/EmbeddedImage.h"
#include "firmware/KFFFiles.h"
#include "firmware/Updater.h"
#include "link/Detection.h"
#include "serial/SerialPort.h"
#include "support/Dialogs.h"
#include "support/HardcodedStrings.h"
#include "support/Textlogger.h"
#include "support/Threads.h"

namespace {

constexpr int PromptKinds = 9;
const std::string InterfaceName = "BX2";

// Refresh flags (the main window passes 22: bits 1, 2 and 4).
constexpr uint8_t rfAlwaysOffer = 1;      // offer to a working BX2 without comparing versions
constexpr uint8_t rfOfferSpecialNew = 2;  // offer when the new firmware's minor is below 100
constexpr uint8_t rfKeepSpecial = 4;      // installed minor below 100 is special firmware
constexpr uint8_t rfOfferAnyway = 8;      // offer whatever the versions
constexpr uint8_t rfAskToUpdate = 16;     // ask "will now update" instead of "not up to date"

constexpr int SpecialMinorLimit = 100;
constexpr int ReprogramMethod = 1;

// String indexes in declaration order (the table checks the section through them
// after the declaration, so they live as long as the unit), and by prompt kind.
std::array<int32_t, PromptKinds> DeclaredIds{};
std::array<int32_t, PromptKinds> PromptIds{};
bool UnitStarted = false;
TUserPromptHook PromptHook;

struct TPromptString {
  int Kind;
  THardcodedKind DialogKind;
  uint16_t Buttons;
  const char* Comment;
  const char* Text;
};

// In the order they are declared in the table.
const TPromptString PromptStrings[PromptKinds] = {
    {upBadlyProgrammed, skError, dbYes | dbNo, "",
     "The BX2 seems to be badly programmed!\rA reprogram must be performed!\rDo you want to "
     "reprogram the BX2 now?"},
    {upWillUpdate, skConfirmation, dbYes | dbNo, "",
     "The program will now update the BX2.\rDo you want to continue?"},
    {upPowerCycle, skConfirmation, dbOK | dbCancel,
     "message during reprogram of BX2 to reset the BX2",
     "1) Switch all connected devices off.\r2) Switch only 1 device on again.\r3) Press OK when "
     "done."},
    {upNotUpToDate, skWarning, dbYes | dbNo, "",
     "The software version in the BX2 is not up to date!\rThis program might not work "
     "correct!\rWe strongly advice you to select 'Yes' below to update the BX2.\r\rWould you "
     "like to update the BX2 now?"},
    {upSpecialFirmware, skInformation, dbOK, "message during reprogram of BX2",
     "IMPORTANT NOTE:\rThe connected BX2 is programmed with special firmware and\rwill "
     "therefore not be updated automatically.\r(Whether or not the BX2 must be updated to "
     "cooperate with this program\rcannot be determined. If in doubt please contact Kalmeon)"},
    {upReprogramFailed, skError, dbOK, "reprogramming a device",
     "Reprogram failed!\rPlease retry.\rSwitch the device off and on again to reset."},
    {upProgrammed, skConfirmation, dbOK,
     "[s] reprogramming a device, %s is replaced by device name (e.g. BX2)",
     "%s programmed.\rPlease switch the device off and on again to reset!\rPress OK when done."},
    {upConnectError, skError, dbOK,
     "[s] reprogramming a device, %s is replaced by device name (e.g. BX2)",
     "Error establishing connection with %s\rPlease retry."},
    {upFirmwareDataError, skError, dbOK, "reprogramming a device",
     "Error in the firmware data!\rPlease contact Kalmeon Energy."},
};

bool NamesDevice(int kind) {
  return kind == upProgrammed || kind == upConnectError;
}

int Major(int32_t version) {
  return version / 1000;
}
int Minor(int32_t version) {
  return version % 1000;
}

// Reprograms after the user agreed; the detection result no longer holds afterwards.
int Reprogram(TRS232o& port, QIODevice& stream, int& det) {
  const bool ok = ReprogramInterface(port, stream, InterfaceName);
  det = adNothing;
  return ok ? rrReprogrammed : rrFailed;
}

// A BX2 without working firmware, or any BX2 when the flags say so.
int OfferRepair(TRS232o& port, QIODevice& stream, int& det) {
  const int question = det == adBadBX2 ? upBadlyProgrammed : upWillUpdate;
  if (UserPrompt(question, {}) != drYes) return rrNothingDone;
  port.SetBreak(true);
  // Declined here the line stays in break; the next detection pass clears it.
  if (UserPrompt(upPowerCycle, {}) != drOK) return rrFailed;
  return Reprogram(port, stream, det);
}

bool ShouldOffer(uint8_t flags, int32_t installed, int32_t newVersion) {
  const int newMinor = Minor(newVersion);
  return (newMinor < SpecialMinorLimit && (flags & rfOfferSpecialNew)) || (flags & rfOfferAnyway) ||
         (newMinor >= SpecialMinorLimit && Minor(installed) < newMinor);
}

int OfferUpdate(TRS232o& port, QIODevice& stream, int32_t newVersion, uint8_t flags,
                int32_t installed, int& det) {
  if (Major(installed) != Major(newVersion) ||
      (Minor(installed) < SpecialMinorLimit && (flags & rfKeepSpecial))) {
    UserPrompt(upSpecialFirmware, {});
    return rrNothingDone;
  }
  if (!ShouldOffer(flags, installed, newVersion)) return rrNothingDone;
  const int question = (flags & rfAskToUpdate) ? upWillUpdate : upNotUpToDate;
  if (UserPrompt(question, {}) != drYes) return rrNothingDone;
  if (!SendStateRaw(port)) SendStateRaw(port);
  port.SetBreak(true);
  Pause(200);
  return Reprogram(port, stream, det);
}

// Loads, connects and programs; returns whether the interface was programmed.
bool RunUpdater(TUpdater& updater, QIODevice& stream, const std::string& name) {
  stream.seek(0);
  QString loadError;
  auto file = std::make_unique<TReprogramBuffer>();
  file->LoadFromStream(stream, true, loadError);
  if (!loadError.isEmpty()) {
    UserPrompt(upFirmwareDataError, name);
    LogText("Error in firmware stream!");
    return false;
  }
  updater.PrepareTarget(std::move(file), false);
  if (!updater.Connect(ReprogramMethod, true, {}, name)) {
    UserPrompt(upConnectError, name);
    LogText("Error in reprogram connect!");
    return false;
  }
  const TResult programmed = updater.ProgramMain(name, true);
  if (!programmed) {
    // A programming that ended on request carries no message.
    if (!programmed.Text().empty()) LogText(programmed.Text());
    UserPrompt(upReprogramFailed, name);
    return false;
  }
  UserPrompt(upProgrammed, name);
  return true;
}

// The embedded interface image as a stream owned by one detection call; none when
// the program carries no image.
std::unique_ptr<QBuffer> OpenEmbeddedImage(int32_t& version) {
  QByteArray image = EmbeddedInterfaceImage();
  if (image.isEmpty()) return nullptr;
  auto buffer = std::make_unique<QBuffer>();
  buffer->setData(image);
  if (!buffer->open(QIODevice::ReadOnly)) return nullptr;
  version = EmbeddedInterfaceVersion;
  return buffer;
}

}  // namespace

int DefaultUserPrompt(int kind, const std::string& deviceName) {
  if (kind < 0 || kind >= PromptKinds || !UnitStarted) return drOK;
  const int32_t index = PromptIds[static_cast<size_t>(kind)];
  return NamesDevice(kind) ? ShowStringArgs(index, {deviceName}) : ShowString(index);
}

int UserPrompt(int kind, const std::string& deviceName) {
  return PromptHook ? PromptHook(kind, deviceName) : DefaultUserPrompt(kind, deviceName);
}

TUserPromptHook SetUserPrompt(TUserPromptHook hook) {
  TUserPromptHook previous = std::move(PromptHook);
  PromptHook = hook ? std::move(hook) : TUserPromptHook(DefaultUserPrompt);
  return previous;
}

int RefreshInterface(TRS232o& port, QIODevice* stream, int32_t newVersion, uint8_t flags,
                     uint8_t /*mode*/, int32_t installedVersion, int& det) {
  if (!stream || (det != adBadBX2 && det != adWokenBX2 && det != adBX2)) return rrNotApplicable;
  if ((flags & rfAlwaysOffer) || det == adBadBX2) return OfferRepair(port, *stream, det);
  return OfferUpdate(port, *stream, newVersion, flags, installedVersion, det);
}

bool ReprogramInterface(TRS232o& port, QIODevice& stream, const std::string& deviceName) {
  LogText("Reprogram procedure for " + deviceName + " started");
  TThreadPtr<TUpdater> updater = TUpdater::Create(&port);
  const bool result = updater && RunUpdater(*updater, stream, deviceName);
  updater.reset();  // stops the updater's thread and frees it
  port.SetBreak(false);
  return result;
}

bool RefreshDetectedInterface(TRS232o& port, QIODevice* stream, int32_t newVersion, uint8_t flags,
                              uint8_t mode, int32_t installedVersion, int& det) {
  std::unique_ptr<QBuffer> embedded;
  if (!stream) {
    embedded = OpenEmbeddedImage(newVersion);
    stream = embedded.get();
  }
  if (!stream) return false;
  return RefreshInterface(port, stream, newVersion, flags, mode, installedVersion, det) ==
         rrReprogrammed;
}

void StartUnitInterfaceRefresh() {
  if (UnitStarted) return;
  DeclareSection("", DeclaredIds.front(), DeclaredIds.back());
  for (size_t i = 0; i < PromptKinds; ++i) {
    const TPromptString& s = PromptStrings[i];
    DefineString(DeclaredIds[i], s.DialogKind, s.Buttons, 0, s.Comment, {s.Text});
    PromptIds[static_cast<size_t>(s.Kind)] = DeclaredIds[i];
  }
  PromptHook = DefaultUserPrompt;
  SetRefreshHook(RefreshDetectedInterface);
  UnitStarted = true;
}

void StopUnitInterfaceRefresh() {
  if (!UnitStarted) return;
  SetRefreshHook(nullptr);
  PromptHook = nullptr;
  PromptIds.fill(0);
  UnitStarted = false;
}
