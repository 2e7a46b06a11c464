#pragma once
// One firmware update of a device from a file, as the console and the window both run
// it: the file read and checked, a summary a person can judge before anything is sent,
// the updater's steps in their order, and the result as a calibration record entry.

#include <QDateTime>
#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "app/CalibrationRecord.h"
#include "support/Result.h"

class TReprogramBuffer;
class TUpdater;

enum class TFirmwareLoad { flOk, flUnreadable, flRefused };

// Reads a firmware file into `buffer`. flUnreadable: the file cannot be opened, or
// is no regular file, or is larger than any firmware file; flRefused: the reader refused it or it
// has no "Main" part (`error` says why).
TFirmwareLoad LoadFirmwareFile(const QString& path, TReprogramBuffer& buffer, std::string& error);

// What the file holds: its parts with their target, line counts and messages, and
// that its checksums were verified (a loaded file has passed them). Lines end in '\n'.
std::string FirmwareSummary(const QString& path, const TReprogramBuffer& buffer);

// The "Main" part's firmware version, -1 when the file has none.
int FirmwareVersion(const TReprogramBuffer& buffer);

// Runs the update of `file` on `updater`: prepares the target, connects (`method`
// when the file names none) and programs. `interrupted` is asked after the
// connection and after every line of the programming; once it says yes no further
// step starts and the result is TFault::Stopped with UpdateStoppedText. Succeeds
// when the device was programmed and its calibrations carried over; a failure
// where nothing answered (no boot loader, no interface) is TFault::NoDevice or
// TFault::NoInterface.
TResult RunDeviceUpdate(TUpdater& updater, std::unique_ptr<TReprogramBuffer> file,
                        const std::string& name, int method,
                        const std::function<bool()>& interrupted = {});

// The failure of an update whose port went (its adapter pulled) before the end.
std::string PortLostInUpdateText(uint32_t portNumber);

// The record entry of an update: the port, the file's firmware version and the result
// ("Firmware updated." or the failure text).
TDeviceFacts UpdateFacts(uint32_t portNumber, int firmwareVersion, const std::string& result,
                         const QDateTime& started);

inline constexpr const char* FirmwareUpdatedText = "Firmware updated.";
// The result of an update stopped on request before it ended.
inline constexpr const char* UpdateStoppedText = "Update stopped.";
