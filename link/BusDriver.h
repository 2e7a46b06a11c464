#pragma once
// The bus driver base: a thread that alone reads and writes one serial port with an
// interface behind it. Callers hand it one outgoing frame at a time (TxIdle is the
// hand-over) and take received frames from a queue counted by ReplyCount.
//
// Texts are byte strings in std::string; the first byte of a request is its command
// code, the first byte of a reply the device's reply code. Address 255 means the
// currently selected device; a time-out of -1 means ReplyTimeout.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>

#include "support/Threads.h"

// Frame handler: runs on the main thread (through PostNotify) with the driver as
// sender each time the driver has queued a received frame. Make one with
// NotifyMethod<&TMyClass::OnFrame>(this).
using TFrameHandler = TNotifyEvent;

class TRS232o;

// Which interface a driver talks through.
enum class TInterfaceKind { BX1, BX2 };

// Drivers are thread objects: create them with their own Create function and end
// them with Stop(true, true, true) (or hold them in a TThreadPtr), never delete them.
class TBusDriver : public TSafeThread {
 public:
  static constexpr int AckTimeout = 500;    // wait for TxIdle, ms
  static constexpr int ReplyTimeout = 500;  // default wait for a reply, ms

  ~TBusDriver() override;
  TBusDriver(const TBusDriver&) = delete;
  TBusDriver& operator=(const TBusDriver&) = delete;

  // Takes the oldest received entry; returns its length, 0 (text empty) when none.
  virtual int TakeFrame(std::string& text) = 0;
  virtual void SetFrameHandler(TFrameHandler handler);
  // Hands the request over and waits until it has left; false on any failure.
  virtual bool SendAndConfirm(const std::string& text, uint8_t address = 255);
  // Drops old replies, sends the request and waits for the reply. Returns the
  // reply's length, or 0 with text emptied.
  virtual int Query(std::string& text, uint8_t address = 255, int timeout = -1);
  virtual int NextReply(std::string& text, int timeout = -1);
  virtual void FlushReplies();
  virtual bool TransmitFrame(const std::string& text, uint8_t address, bool advance) = 0;
  virtual void NextSequence() = 0;
  virtual int ConnectedPort() = 0;
  virtual uint8_t GetAddress();
  virtual void SelectAddress(uint8_t address);
  // 1 for firmware families 10, 12, 14 and 15, 2 for every other version.
  virtual uint8_t ClassifyVersion(int32_t version);
  virtual bool SetControlPair(uint8_t first, uint8_t second);
  virtual bool SetControlByte(uint8_t value);
  // The device's 16-bit status word, or -1.
  virtual int ReadStatusWord();

  // ---- what callers may ask of any interface (the BX1's answers are the defaults) ----
  virtual TInterfaceKind InterfaceKind() const { return TInterfaceKind::BX1; }
  // The interface's link state (the BX2's ls... values); 0 for an interface that has
  // no modes.
  virtual uint8_t LinkMode() const { return 0; }
  // Sends '!' + value + text as an addressed frame; with expectedCode != -1 waits for
  // the bus frame starting with that code and returns it in text. Only the BX2 carries
  // addressed frames: false for the others, with nothing sent.
  virtual bool AddressedQuery(uint32_t value, std::string& text, int timeout, int expectedCode);
  // Gives a port the driver took over back to the caller (the driver stops freeing
  // it; its thread may use it until the driver has stopped). None for a driver
  // without a port of its own.
  virtual std::unique_ptr<TRS232o> ReleasePort();
  // Sets flag `flag` (an sb... index) of the interface's state block and sends the
  // block (state command with its first argument on, its second off). Only the BX2
  // has one: false for the others, with nothing sent.
  virtual bool SetStateFlag(int flag);

  bool WaitTxIdle(int milliseconds);
  // The handed-over frame has left within AckTimeout, and it left whole (a failed
  // write or a wrong echo is not "sent").
  bool WaitSent() { return WaitTxIdle(AckTimeout) && !LastSendFailed; }

  // Shared between the driver thread and its caller (single values, no lock).
  TSemaphore ReplyCount;
  TEvent TxIdle{true};
  std::atomic<bool> TxRtsCleared{true};
  std::atomic<bool> HasFrameHandler{false};
  std::atomic<bool> LastSendFailed{false};  // the last frame handed over did not leave whole
  std::atomic<bool> PortFailed{true};
  std::atomic<uint8_t> Address{0};
  std::atomic<uint8_t> ControllerType{0};  // set by callers, see ClassifyVersion
  // The interface firmware version detection read before creating the driver
  // (-1 when the interface reports none, as the BX1).
  int32_t InterfaceVersion = -1;
  // Why the driver cannot use a port that is there (e.g. the adapter lacks a line
  // setting the interface needs), for the user; set before the thread starts.
  std::string PortRefusal;

 protected:
  // Whether the thread starts at once is decided by TSafeThread::Create; drivers
  // are created suspended and resumed once their port is configured.
  explicit TBusDriver(bool createSuspended = true);
  // Thread side: posts FrameHandler to the main thread when one is set.
  void NotifyFrameQueued();
  // Caller side: waits that also end when the driver is being stopped, so that a
  // caller on another thread never outlives the driver inside a wait.
  bool WaitEvent(const TEvent& event, int ms);
  bool WaitReplyCount(int ms);
  // Caller operations hold one of these; the destructor waits until none is held.
  class TCallerGuard {
   public:
    explicit TCallerGuard(TBusDriver& driver) : Driver(driver) { ++Driver.ActiveCallers; }
    ~TCallerGuard() { --Driver.ActiveCallers; }
    TCallerGuard(const TCallerGuard&) = delete;
    TCallerGuard& operator=(const TCallerGuard&) = delete;

   private:
    TBusDriver& Driver;
  };
  // Subclass destructors call this first: ends waits and lets callers leave.
  void ReleaseCallers();

 private:
  template <typename TWait>
  bool SlicedWait(int ms, TWait wait);

  std::mutex HandlerMutex;
  TFrameHandler FrameHandler;
  std::atomic<int> ActiveCallers{0};
};

// ---- free helpers -----------------------------------------------------------------

// The driver's port is gone (a read or write found the device away), as opposed to
// a port the driver refused to use.
bool DriverLostPort(TBusDriver& driver);
// A port on which the driver cannot work although it is there: why, or "".
std::string DriverPortRefusal(const TBusDriver& driver);

// Bit `bit` (mod 32) of value.
bool BitIsSet(uint32_t value, int bit);
void SetBit(uint32_t& value, int bit, bool on);

namespace busdriver_detail {
inline void AppendItem(std::string& out, char c) {
  out.push_back(c);
}
inline void AppendItem(std::string& out, const char* text) {
  if (text) out.append(text);
}
inline void AppendItem(std::string& out, std::string_view text) {
  out.append(text);
}
inline void AppendItem(std::string& out, const std::string& text) {
  out.append(text);
}
template <typename T>
void AppendItem(std::string& out, const T& item) {
  if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
    out.push_back(static_cast<char>(static_cast<uint8_t>(item & 0xFF)));
  } else if constexpr (std::is_enum_v<T>) {
    AppendItem(out, static_cast<std::underlying_type_t<T>>(item));
  }
  // Items of any other kind (bool, floating point, pointers...) contribute nothing.
}
}  // namespace busdriver_detail

// Concatenates items into one command text: an integer gives its low byte, a
// character one byte, a string its bytes in full.
template <typename... Items>
std::string BuildCommand(const Items&... items) {
  std::string out;
  (busdriver_detail::AppendItem(out, items), ...);
  return out;
}
