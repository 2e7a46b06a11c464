#pragma once
// Bus driver for the BX2 interface. Its thread reads the line byte by byte, checks
// and interprets frames, queues device replies and bus frames, and writes the one
// pending outgoing frame whenever the line is quiet. The caller's side wraps device
// requests in interface frames with sequence letters and addresses, keeps the
// interface's address selection and S block in step, and wakes the interface again
// when it has fallen silent.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/BX2Frames.h"
#include "link/SerialBusDriver.h"
#include "serial/SerialPort.h"

// A ring of byte strings behind a TLock. When full, a push overwrites the oldest.
class TStringFifo {
 public:
  explicit TStringFifo(int capacity, bool overwriteWhenFull = true);
  ~TStringFifo();
  TStringFifo(const TStringFifo&) = delete;
  TStringFifo& operator=(const TStringFifo&) = delete;

  // Returns whether there was room (false: the oldest entry was replaced, or the
  // text dropped when OverwriteWhenFull is off).
  bool Push(const std::string& text);
  // Oldest entry, or empty text when there is none.
  void Pop(std::string& text);
  int Count() const;
  int Capacity() const { return static_cast<int>(Slots.size()); }

 private:
  mutable TLock Lock;
  std::vector<std::string> Slots;
  int Head = 0;
  int Entries = 0;
  const bool OverwriteWhenFull;
};

// Link states.
enum : uint8_t {
  lsNotReady = 0,
  lsKMBus = 1,
  lsNineBit = 2,
  lsLost = 3,
};

// PendingFlags bits.
enum : uint32_t {
  pfSelectAddress = 1,  // select the address again before the next request
  pfSendState = 2,      // send the S block again before the next request
};

class TBX2Driver : public TSerialBusDriver {
 public:
  // Creates a running driver on the port and performs the start-up exchange
  // (address selection, then the default S block or the interface's own one).
  // The driver takes the port over and frees it when it is freed, unless
  // ReleasePort was called. mode: 1 KMBus, 2 9-bit (as the interface reported it).
  // The result is a thread handle: end it with Stop(true, true, true).
  static TBX2Driver* Create(std::unique_ptr<TRS232o> port, bool useDefaultState, uint8_t mode);
  // The same on a port the caller keeps (OwnsPort false): the driver uses it until
  // it has stopped and never frees it.
  static TBX2Driver* CreateBorrowing(TRS232o& port, bool useDefaultState, uint8_t mode);
  ~TBX2Driver() override;

  int TakeFrame(std::string& text) override;
  int NextReply(std::string& text, int timeout = -1) override;
  bool TransmitFrame(const std::string& text, uint8_t address, bool advance) override;
  void NextSequence() override;
  void SelectAddress(uint8_t address) override;
  bool SetControlPair(uint8_t first, uint8_t second) override;
  bool SetControlByte(uint8_t value) override;
  int ReadStatusWord() override;
  TInterfaceKind InterfaceKind() const override { return TInterfaceKind::BX2; }
  uint8_t LinkMode() const override { return LinkState; }

  bool SendState(bool argumentA, bool argumentB);
  bool SetStateFlag(int flag) override;
  bool QueryState();
  bool QueryStatus();
  void SetAddressingMode(uint8_t mode);
  int NextBusFrame(std::string& text, int timeout = -1);
  // Waits up to AddressedQueryLimit for the expected bus frame.
  bool AddressedQuery(uint32_t value, std::string& text, int timeout, int expectedCode) override;
  // Puts a silent interface back into listening (caller side; holds the thread off
  // the port meanwhile).
  void Reinitialise();

  // Read or written directly by the window, the queries and the updater.
  std::atomic<uint8_t> LinkState{lsNotReady};
  TSBlock SBlock = DefaultSBlock();  // caller side only

  // Exposed for inspection (tests, diagnostics); the thread owns them.
  std::atomic<uint32_t> PendingFlags{pfSelectAddress};
  std::atomic<uint8_t> AddressingMode{1};
  std::atomic<uint8_t> Sequence{0};
  std::atomic<uint8_t> AckAddress{0};
  std::atomic<int32_t> BusWatchdog{500};
  std::atomic<bool> StateReplySeen{false};

  // Shared by all BX2 drivers of the process: 255, or the address of the last
  // request sent to a device other than the selected one.
  static std::atomic<uint8_t> PendingForeignAddress;

  static constexpr int WatchdogRounds = 500;
  static constexpr int ReadTimeout = 10;  // ms per empty loop round
  static constexpr int ReinitialiseReplyWait = 2000;
  static constexpr int AddressedQueryLimit = 5000;

 protected:
  void Execute() override;

 private:
  friend class TSafeThread;
  TBX2Driver(std::unique_ptr<TRS232o> owned, TRS232o* borrowed, uint8_t mode);
  static TBX2Driver* Start(TBX2Driver* driver, bool useDefaultState);
  void StartUp(bool useDefaultState);
  void SetLinkState(uint8_t state);
  void RunRound();
  void ReceiveByte(uint8_t byte);
  void TransmitPending();
  bool HandleFrame(std::string_view raw);
  void HandleInterfaceFrame(const TBX2Frame& frame);
  void StoreEntry(uint8_t kind, std::string_view bytes);
  bool QueueInterfaceFrame(const std::string& text);
  bool QueueAddressedFrame(const std::string& payload);
  bool PrepareLink();
  void HandOver(const std::string& frame);
  int WaitForEntry(std::string& text, uint8_t kind, bool strip, int timeout);
  void ConfigurePort();
  // Holds the thread off the port while the caller drives it directly.
  class TPauseGuard {
   public:
    explicit TPauseGuard(TBX2Driver& driver);
    ~TPauseGuard();
    TPauseGuard(const TPauseGuard&) = delete;
    TPauseGuard& operator=(const TPauseGuard&) = delete;

   private:
    TBX2Driver& Driver;
  };

  // Thread side.
  uint8_t RxByte = 0;
  TBX2FrameAssembler Assembler;
  uint8_t QuietRounds = 0;
  std::array<uint8_t, bx2::MaxFrameBytes> LastSent{};
  size_t LastSentSize = 0;

  // Hand-over: written by the caller after it reset TxIdle, read by the thread
  // while TxPending is set.
  std::string TxBuffer;
  std::atomic<bool> TxPending{false};

  TEvent InterfaceReply{false};
  TStringFifo RxQueue{16};
  std::atomic<int> PauseCount{0};
  std::atomic<bool> Paused{false};
  std::mutex PortMutex;    // held by the thread for each round's port work, and by a pause
  std::mutex SBlockMutex;  // the thread loads SBlock from 'D' replies
  std::atomic<uint8_t> StatusBytes[2] = {0, 0};
  bool BlinkPhase = false;  // caller side
};
