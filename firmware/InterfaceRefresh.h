#pragma once
// Refresh of the BX2 interface's own firmware: decides whether to offer an update
// (or a repair of a badly programmed BX2), asks the user and reprograms the
// interface through the device updater. Detection reaches it through the refresh hook
// that StartUnitInterfaceRefresh installs.

#include <cstdint>
#include <functional>
#include <string>

class QIODevice;
class TRS232o;

// Version of the embedded interface image.
constexpr int32_t EmbeddedInterfaceVersion = 1130132;

// Kinds of user prompt.
enum : int {
  upBadlyProgrammed = 0,
  upPowerCycle = 1,
  upNotUpToDate = 2,
  upReprogramFailed = 3,
  upProgrammed = 4,
  upConnectError = 5,
  upFirmwareDataError = 6,
  upWillUpdate = 7,
  upSpecialFirmware = 8,
};

// Refresh results.
enum : int { rrReprogrammed = 0, rrNothingDone = 1, rrFailed = 2, rrNotApplicable = 3 };

// The prompt hook: (kind, device name) -> dialog result (drOK, drCancel, drYes, drNo).
using TUserPromptHook = std::function<int(int kind, const std::string& deviceName)>;
// Asks through the installed hook (the default shows the unit's strings).
int UserPrompt(int kind, const std::string& deviceName);
// Replaces the hook; an empty hook restores the default. Returns the previous one.
TUserPromptHook SetUserPrompt(TUserPromptHook hook);
// The default hook: shows the string of the kind; other kinds return 1.
int DefaultUserPrompt(int kind, const std::string& deviceName);

// 0 reprogrammed, 1 nothing done, 2 failed or refused at the power-cycle step,
// 3 not applicable. det is set to 0 after a reprogramming attempt.
int RefreshInterface(TRS232o& port, QIODevice* stream, int32_t newVersion, uint8_t flags,
                     uint8_t mode, int32_t installedVersion, int& det);
bool ReprogramInterface(TRS232o& port, QIODevice& stream, const std::string& deviceName);
// Detection's refresh step (the hook): RefreshInterface with the given stream, or, when
// there is none, with the embedded interface image and its version. True when the
// interface was reprogrammed. Without an embedded image no refresh is offered.
bool RefreshDetectedInterface(TRS232o& port, QIODevice* stream, int32_t newVersion, uint8_t flags,
                              uint8_t mode, int32_t installedVersion, int& det);

// Declares the prompt strings, installs the default prompt and detection's refresh
// hook (idempotent).
void StartUnitInterfaceRefresh();
void StopUnitInterfaceRefresh();
