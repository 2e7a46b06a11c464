#pragma once
// Bus driver for the BX1 interface, which puts the serial line straight on the
// device bus. Bus characters have nine bits: the parity bit of an 8-data-bit line
// carries the ninth (mark parity sends 1, space parity 0). Every byte sent comes
// back as an echo, so a frame goes out one checked byte at a time. Frames are 4
// bytes: three message bytes (the first with the ninth bit set) and a checksum
// that makes the sum of all four 0.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "link/SerialBusDriver.h"
#include "serial/SerialPort.h"

class TBX1Driver : public TSerialBusDriver {
 public:
  static constexpr int RingSlots = 10;
  static constexpr int ReadTimeout = 16;  // ms per empty loop round
  static constexpr int Baud = 1200;

  // Creates a running driver on the port. The driver takes the port over and frees
  // it when it is freed, unless ReleasePort was called. The result is a thread
  // handle: end it with Stop(true, true, true).
  static TBX1Driver* Create(std::unique_ptr<TRS232o> port);
  // The same on a port the caller keeps (OwnsPort false): the driver uses it until
  // it has stopped and never frees it.
  static TBX1Driver* CreateBorrowing(TRS232o& port);
  ~TBX1Driver() override;

  int TakeFrame(std::string& text) override;
  // The base operation, then a 60 ms pause (the bus needs it between frames).
  bool SendAndConfirm(const std::string& text, uint8_t address = 255) override;
  // Cuts or pads text to 3 bytes, adds the checksum and hands the frame over.
  bool TransmitFrame(const std::string& text, uint8_t address, bool advance) override;
  void NextSequence() override {}

 protected:
  void Execute() override;

 private:
  friend class TSafeThread;
  TBX1Driver(std::unique_ptr<TRS232o> owned, TRS232o* borrowed);
  static TBX1Driver* Start(TBX1Driver* driver);
  void RunRound();
  void CheckEcho(uint8_t byte);
  void ListenByte(uint8_t byte);
  void StartFrame();
  void AbortFrame();
  void Deliver();
  void ConfigurePort();

  // Thread side.
  uint8_t Pos = 0;
  uint8_t Sum = 0;
  uint8_t RxByte = 0;
  bool Sending = false;
  std::array<uint8_t, 3> RxFrame{};

  // Hand-over: TxFrame is written by the caller after it reset TxIdle and before it
  // sets TxPending.
  std::array<uint8_t, 4> TxFrame{};
  std::atomic<bool> TxPending{false};

  // Received messages. RingMutex keeps the slots, both indices and ReplyCount in
  // step (a full ring replaces its newest message).
  std::mutex RingMutex;
  std::array<std::string, RingSlots> Ring;
  uint8_t RingWrite = 0;
  uint8_t RingRead = 0;
};
