#pragma once
// Interface detection on a raw serial port: works out whether a BX1, a BX2 with
// working firmware or a BX2 stuck in its boot loader hangs on the line, logs what
// it found (text logger), lets the interface refresh (installed as a hook by
// firmware/InterfaceRefresh) offer a firmware update, and returns a running bus driver
// for the interface, or none.
//
// Everything here runs on the caller's thread while no driver uses the port.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "support/Threads.h"

class QIODevice;
class TRS232o;
class TBusDriver;

// Results of AutoDetect.
enum : int {
  adNothing = 0,   // nothing recognised
  adBX1 = 1,       // BX1 (the line echoed)
  adBadBX2 = 2,    // BX2 without working firmware (badly programmed)
  adWokenBX2 = 3,  // BX2 that answered only after the wake-up sequence
  adBX2 = 4,       // BX2 that answered at once
};

// Interface modes as reported by the raw 'V' query (see ModeName).
enum : uint8_t {
  imUnknown = 0,
  imKMBus = 1,
  imNineBit = 2,
  imTransparant = 3,
};

// The flags the main window passes to DetectInterface.
constexpr uint8_t DefaultDetectFlags = 22;

// The interface refresh, offered once per detection call on its first pass that
// recognised an interface: (port, firmware stream or none, new version, flags, mode,
// installed version, in out detection result) -> true when the interface was
// reprogrammed and is to be detected again. The refresh unit installs it at start-up;
// without it detection offers no refresh.
using TRefreshHook =
    std::function<bool(TRS232o& port, QIODevice* stream, int32_t newVersion, uint8_t flags,
                       uint8_t mode, int32_t installedVersion, int& det)>;
// Installs the hook (an empty one removes it); returns the previous one.
TRefreshHook SetRefreshHook(TRefreshHook hook);

// Probes the open port and returns a running driver for what it found, or none.
// stream: a firmware image for the refresh; none = use the embedded interface
// image (and its version instead of newVersion). When a driver is returned it has
// taken the port over: `port` is empty afterwards and the driver frees the port.
// A port that is missing or not open, or nothing recognised, gives none and leaves
// `port` with the caller. The driver handle stops and frees the driver when reset.
TThreadPtr<TBusDriver> DetectInterface(std::unique_ptr<TRS232o>& port, QIODevice* stream,
                                       int32_t newVersion, uint8_t flags);
// The same on a port the caller keeps owning (the updater's): the driver uses the
// port but never frees it; stop the driver before the port goes away.
TThreadPtr<TBusDriver> DetectInterfaceBorrowed(TRS232o& port, QIODevice* stream, int32_t newVersion,
                                               uint8_t flags);

// One detection pass: 0..4 (the ad... values). Logs "AutoDetectResult: " + probes.
int AutoDetect(TRS232o& port, int32_t& version, uint8_t& mode);
// 0 nothing, 1 boot loader bytes, 2 echo, 3 answered the 'V' query.
int ProbeInterface(TRS232o& port, int32_t& version, uint8_t& mode);

// Raw probes, each on the port directly.
bool ProbeBootLoader(TRS232o& port);
bool ProbeEcho(TRS232o& port);
bool QueryVersionRaw(TRS232o& port, int32_t& version, uint8_t& mode);
void ResetInterface(TRS232o& port);
bool SendStateRaw(TRS232o& port);

// Sends an interface frame (0xFF marker, text, stuffing 0x00 after a final 0xFF)
// after discarding waiting input; then pauses 150 ms.
void SendRawFrame(TRS232o& port, const std::string& text);
// Reads one frame; message receives its first n payload bytes (marker included).
// True only for a frame with a zero sum whose first payload byte is 0xFF.
bool ReadRawFrame(TRS232o& port, std::string& message, int bufferSize, int maxLength,
                  int minLength);

// The pure parts of ReadRawFrame (no I/O), also used by the fuzz target.
// Clamps maxLength to bufferSize - 1 when the buffer is not larger.
int ClampRawMaximum(int bufferSize, int maxLength);
// Message length announced by a length byte, or -1 when it is out of [minimum, maximum].
int RawMessageLength(uint8_t lengthByte, int minLength, int maxLength);
// Number of bytes that follow the length byte: (L & 0x7F) + 1.
int RawFollowingCount(uint8_t lengthByte);
// Checks a complete raw frame (length byte + following bytes) and extracts its message.
bool ParseRawFrame(const uint8_t* frame, size_t size, int minLength, int maxLength,
                   std::string& message);
// Builds the raw-port frame for a text (stuffing rule included).
std::string BuildRawFrame(const std::string& text);

// Name of an interface mode; any other value leaves text as it was.
void ModeName(uint8_t mode, std::string& text);
// The detection log line for a result (empty for nothing recognised).
std::string DetectionLogLine(int result, int32_t version, uint8_t mode);
