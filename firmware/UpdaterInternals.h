#pragma once
// Pieces shared by the updater's own source files (the worker, the boot loader
// connection, part programming, carry-over); no other unit includes this.

#include <QByteArray>
#include <QString>

#include <string>

namespace updater {

inline QString QText(const std::string& text) {
  return QString::fromStdString(text);
}
inline std::string ToBytes(const QByteArray& bytes) {
  return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

// Waits in the driving thread or the worker. Every caller names its reason with
// one of the constants below.
void WaitMs(int ms);
// Lets queued events (the worker's synchronised notifier calls) run while waiting.
void PumpEvents();

// ---- the reasons for waiting ---------------------------------------------------
// The line settles after the break is cleared, before the connection burst.
constexpr int SettleAfterBreakMs = 100;
// The BX2 boot loader prepares its version reply after "P" (250 ms with the wake
// sequence's own 50 ms pause after it).
constexpr int Bx2LoaderReplyMs = 200;
// The baud hunt lets the stream's next byte arrive between single reads.
constexpr int HuntByteGapMs = 40;
// The text boot loader switches over after hearing AA FF AA FF AA.
constexpr int HuntSwitchOverMs = 100;
// The boot loader is ready for the identity query after the version reply.
constexpr int BeforeIdentityQueryMs = 20;
// The bus takes one reset frame before the next.
constexpr int ResetFrameGapMs = 50;
// The device takes the bus reset before the line is released.
constexpr int AfterResetFrameMs = 200;
// The replaced boot loader takes its start handshake (55 FF 55 FF 55).
constexpr int NewBootloaderHandshakeMs = 100;
// The replaced boot loader starts before the reconnection.
constexpr int NewBootloaderStartMs = 1000;
// The device leaves for its boot loader, or restarts, after the addressed 03.
constexpr int DeviceRestartMs = 200;
// The worker's poll while paused, and the driving thread's poll while it waits.
constexpr int WorkerPollMs = 20;

// ---- data lines ------------------------------------------------------------------
constexpr int DataLineSize = 74;
constexpr int DataLineIdentity = 2;
constexpr int DataLineData = 6;
constexpr int DataLineOffset = 70;
constexpr int DataBlockSize = 64;
constexpr int DataAreaSize = 256;

}  // namespace updater
