#include "link/Detection.h"

#include <array>
#include <utility>

#include "link/BX1Driver.h"
#include "link/BX2Driver.h"
#include "link/BX2Frames.h"
#include "link/BusDriver.h"
#include "link/ProtocolCodes.h"
#include "serial/SerialPort.h"
#include "support/Textlogger.h"
#include "support/Threads.h"

namespace {

// Bytes discarded before a raw frame is sent. A line that keeps talking (noise,
// a stuck transmitter) must not keep the sender in its discard loop for ever; at
// 2400 baud this bounds the loop to about a second.
constexpr int MaxDiscardedBytes = 256;
// Length byte plus the most bytes a length byte can announce ((0x7F) + 1).
constexpr int MaxRawFrameBytes = 1 + 0x7F + 1;

constexpr uint8_t BootLoaderByte = 0x11;

bool PortOpen(const TRS232o& port) {
  return port.PortNumber() != 0;
}

void DiscardInput(TRS232o& port) {
  uint8_t byte = 0;
  for (int i = 0; i < MaxDiscardedBytes && port.Read(&byte, 1, -1) == 1; ++i) {
  }
}

uint32_t LittleEndian32(const std::string& bytes, size_t from) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) {
    value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[from + i])) << (8 * i);
  }
  return value;
}

bool HasThreeBootLoaderBytes(const uint8_t* bytes, int count) {
  int run = 0;
  for (int i = 0; i < count; ++i) {
    run = bytes[i] == BootLoaderByte ? run + 1 : 0;
    if (run >= 3) return true;
  }
  return false;
}

int ResultFromProbe(int probe, bool woken) {
  switch (probe) {
    case 1:
      return adBadBX2;
    case 2:
      return adBX1;
    case 3:
      return woken ? adWokenBX2 : adBX2;
    default:
      return adNothing;
  }
}

// Set by the refresh unit at start-up.
TRefreshHook RefreshHook;

// Detection passes on an open port; returns the final detection result and the
// interface mode found by the last pass.
int RunDetection(TRS232o& port, QIODevice* stream, int32_t newVersion, uint8_t flags, uint8_t& mode,
                 int32_t& version) {
  int det = adNothing;
  version = 0;
  mode = imUnknown;
  for (int pass = 1;; ++pass) {
    bool done = true;
    det = AutoDetect(port, version, mode);
    if (det != adNothing) {
      LogText(DetectionLogLine(det, version, mode));
      if (pass == 1 && RefreshHook) {
        done = !RefreshHook(port, stream, newVersion, flags, mode, version, det);
      }
    }
    if (done) break;
  }
  return det;
}

TBusDriver* CreateDriver(int det, uint8_t mode, int32_t version, std::unique_ptr<TRS232o>& port) {
  if (det == adBX1) return TBX1Driver::Create(std::move(port));
  if (det != adWokenBX2 && det != adBX2) return nullptr;
  TBusDriver* driver = TBX2Driver::Create(std::move(port), true, mode);
  if (driver) driver->InterfaceVersion = version;
  return driver;
}

}  // namespace

// ---- raw frames -----------------------------------------------------------------

std::string BuildRawFrame(const std::string& text) {
  return BuildRawPortFrame(text);
}

void SendRawFrame(TRS232o& port, const std::string& text) {
  const std::string frame = BuildRawFrame(text);
  port.SetReadTimeouts(20);
  DiscardInput(port);
  port.Write(frame.data(), static_cast<uint32_t>(frame.size()));
  Pause(150);
}

int ClampRawMaximum(int bufferSize, int maxLength) {
  return bufferSize <= maxLength ? bufferSize - 1 : maxLength;
}

int RawMessageLength(uint8_t lengthByte, int minLength, int maxLength) {
  const int n = lengthByte >= 0x82 ? lengthByte - 0x82 : lengthByte;
  return n < minLength || n > maxLength ? -1 : n;
}

int RawFollowingCount(uint8_t lengthByte) {
  return (lengthByte & 0x7F) + 1;
}

bool ParseRawFrame(const uint8_t* frame, size_t size, int minLength, int maxLength,
                   std::string& message) {
  message.clear();
  if (!frame || size == 0) return false;
  const int n = RawMessageLength(frame[0], minLength, maxLength);
  if (n < 0 || size != static_cast<size_t>(RawFollowingCount(frame[0])) + 1) return false;
  const std::string_view all(reinterpret_cast<const char*>(frame), size);
  message.assign(all.substr(1, static_cast<size_t>(n)));
  return ByteSum(all) == 0 && n >= 1 && frame[1] == bx2::InterfaceMarker;
}

bool ReadRawFrame(TRS232o& port, std::string& message, int bufferSize, int maxLength,
                  int minLength) {
  message.clear();
  const int maximum = ClampRawMaximum(bufferSize, maxLength);
  std::array<uint8_t, MaxRawFrameBytes> frame{};
  if (port.Read(frame.data(), 1, -1) != 1) return false;
  if (RawMessageLength(frame[0], minLength, maximum) < 0) return false;
  const int following = RawFollowingCount(frame[0]);
  if (port.Read(frame.data() + 1, static_cast<uint32_t>(following), -1) != following) return false;
  return ParseRawFrame(frame.data(), static_cast<size_t>(following) + 1, minLength, maximum,
                       message);
}

// ---- raw probes -------------------------------------------------------------------

bool QueryVersionRaw(TRS232o& port, int32_t& version, uint8_t& mode) {
  mode = imUnknown;
  port.Configure(2400, 'N');
  Pause(100);
  SendRawFrame(port, std::string(1, bx2::LetterVersionQuery));
  std::string message;
  if (!ReadRawFrame(port, message, 10, 10, 6) || message[1] != bx2::LetterVersionQuery)
    return false;
  version = static_cast<int32_t>(LittleEndian32(message, 2));
  mode = message.size() >= 7 && message[6] == bx2::VersionNineBitMode ? imNineBit : imKMBus;
  return true;
}

void ResetInterface(TRS232o& port) {
  SendRawFrame(port, std::string(1, bx2::LetterReset));
}

bool SendStateRaw(TRS232o& port) {
  port.Configure(2400, 'N');
  SendRawFrame(port, BuildCommand(bx2::LetterSetState, 0, 0, 0, 0, 4));
  std::string message;
  return ReadRawFrame(port, message, 10, 10, 2) && message[1] == bx2::LetterSetState;
}

bool ProbeBootLoader(TRS232o& port) {
  port.Configure(19200, 'N');
  port.PurgeAll();
  std::array<uint8_t, 5> bytes{};
  const int count = port.Read(bytes.data(), static_cast<uint32_t>(bytes.size()), 200);
  return HasThreeBootLoaderBytes(bytes.data(), count);
}

bool ProbeEcho(TRS232o& port) {
  port.Configure(2400, 'N');
  port.PurgeAll();
  port.SetReadTimeouts(150);
  const uint8_t probe = 'H';
  uint8_t c = 'A';
  for (int attempt = 0; attempt < 3 && c != probe; ++attempt) {
    port.ClearRts(false);
    port.Write(&probe, 1);
    c = 'A';
    port.Read(&c, 1, -1);
    port.ClearRts(true);
  }
  return c == probe;
}

int ProbeInterface(TRS232o& port, int32_t& version, uint8_t& mode) {
  int r = ProbeBootLoader(port) ? 1 : ProbeEcho(port) ? 2 : 0;
  if (r != 0) return r;
  r = QueryVersionRaw(port, version, mode) ? 3 : 0;
  if (r != 3 || mode != imNineBit) return r;
  // The interface is in its 9-bit mode: reset it until it reports KMBus. A port
  // lost on the way cannot answer any more, so probing stops there.
  int attempts = 0;
  int answers = 0;
  do {
    ResetInterface(port);
    r = QueryVersionRaw(port, version, mode) ? 3 : 0;
    if (r == 3) ++answers;
    ++attempts;
  } while (mode != imKMBus && answers < 5 && attempts < 10 && PortOpen(port));
  return r;
}

int AutoDetect(TRS232o& port, int32_t& version, uint8_t& mode) {
  std::string text = "AutoDetectResult: ";
  int result = adNothing;
  if (PortOpen(port)) {
    port.ClearErrors();
    port.SetBreak(false);
    port.PurgeAll();
    port.SetReadTimeouts(10);
    port.ClearDtr(false);
    port.ClearRts(true);
    bool woken = false;
    int n = ProbeInterface(port, version, mode);
    text += std::to_string(n);
    if (n == 2) {
      woken = true;
      WakeInterface(port);
      n = ProbeInterface(port, version, mode);
      text += "," + std::to_string(n);
    }
    result = ResultFromProbe(n, woken);
  }
  LogText(text);
  return result;
}

// ---- names and log lines --------------------------------------------------------------

void ModeName(uint8_t mode, std::string& text) {
  switch (mode) {
    case imUnknown:
      text = "Unknown";
      break;
    case imKMBus:
      text = "KMBus";
      break;
    case imNineBit:
      text = "KM 9 bit";
      break;
    case imTransparant:
      text = "Transparant";
      break;
    default:
      break;
  }
}

std::string DetectionLogLine(int result, int32_t version, uint8_t mode) {
  switch (result) {
    case adBX1:
      return "  BX1 detected";
    case adBadBX2:
      return "  Badly programmed BX2 detected";
    case adWokenBX2:
    case adBX2: {
      std::string name;
      ModeName(mode, name);
      return "  BX2 detected\r    Version: " + std::to_string(version) + "\r    mode: " + name +
             (result == adBX2 ? "\r    New bootblock" : "\r    Old bootblock");
    }
    default:
      return {};
  }
}

// ---- detection -------------------------------------------------------------------------

TRefreshHook SetRefreshHook(TRefreshHook hook) {
  TRefreshHook previous = std::move(RefreshHook);
  RefreshHook = std::move(hook);
  return previous;
}

TThreadPtr<TBusDriver> DetectInterface(std::unique_ptr<TRS232o>& port, QIODevice* stream,
                                       int32_t newVersion, uint8_t flags) {
  if (!port || !PortOpen(*port)) return nullptr;
  uint8_t mode = imUnknown;
  int32_t version = 0;
  const int det = RunDetection(*port, stream, newVersion, flags, mode, version);
  return TThreadPtr<TBusDriver>(CreateDriver(det, mode, version, port));
}

TThreadPtr<TBusDriver> DetectInterfaceBorrowed(TRS232o& port, QIODevice* stream, int32_t newVersion,
                                               uint8_t flags) {
  if (!PortOpen(port)) return nullptr;
  uint8_t mode = imUnknown;
  int32_t version = 0;
  const int det = RunDetection(port, stream, newVersion, flags, mode, version);
  // The driver is handed the port and gives it straight back, so it uses the port
  // without ever freeing it.
  std::unique_ptr<TRS232o> lent(&port);
  TBusDriver* driver = CreateDriver(det, mode, version, lent);
  if (driver) (void)driver->ReleasePort().release();
  (void)lent.release();  // still here when no driver took it
  return TThreadPtr<TBusDriver>(driver);
}
