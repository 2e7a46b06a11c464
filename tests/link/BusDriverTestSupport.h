#pragma once
// Scripted peers for the driver tests: small equipment models on the virtual line
// that record exactly what the driver put on the wire and answer as told.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/BusDriver.h"
#include "serial/PortMap.h"
#include "serial/SerialPort.h"
#include "serial/VirtualLine.h"
#include "support/Threads.h"
#include "tests/common/TestBytes.h"
#include "tests/common/TestWaits.h"

inline std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

// A virtual line registered as a COM port, with a port object opened on it.
struct TLinePort {
  explicit TLinePort(std::shared_ptr<TVirtualDevice> device) {
    StartUnitThreads();
    StartUnitPortMap();
    Line->AttachDevice(std::move(device));
    Number = RegisterVirtualPortAnywhere(Line);
  }
  ~TLinePort() { UnregisterVirtualPort(Number); }
  TLinePort(const TLinePort&) = delete;
  TLinePort& operator=(const TLinePort&) = delete;

  // Opened as detection leaves it: 2400 baud for a BX2, 1200 for a BX1.
  std::unique_ptr<TRS232o> Open(int baud) const {
    auto port = std::make_unique<TRS232o>();
    EXPECT_TRUE(port->Open(static_cast<uint32_t>(Number), baud, 'N', 1024, 1024));
    return port;
  }

  std::shared_ptr<TVirtualLine> Line = std::make_shared<TVirtualLine>(false);
  int Number = 0;
};

// ---- BX2 -------------------------------------------------------------------------

// One frame the BX2 peer received, with the baud rate it came at.
struct TSeenFrame {
  std::string Bytes;
  int Baud = 0;
};

// A BX2 with working firmware, as far as the driver tests need one: it splits the
// host's bytes into frames by their length byte, acknowledges 'A', 'S', 'D' and 'L',
// passes 'X'..'Z' / 'x'..'z' requests to Responder, and after the wake-up sequence
// announces itself with a 'V' frame. Everything can be switched off per test.
class TBX2Peer : public TVirtualDevice {
 public:
  // Device reply to a request (without letter/address); nullopt = no answer.
  std::function<std::optional<std::string>(const std::string& request)> Responder;
  // Bus frame answering an addressed ('!') frame, given its payload.
  std::function<std::optional<std::string>(const std::string& payload)> AddressedResponder;
  bool AckAddress = true;
  bool AckState = true;
  bool Silent = false;            // answers nothing at all
  bool AnnounceAfterWake = true;  // 'V' frame after the wake-up 'A' at 19200
  std::string StateReply = Bytes({0xFF, 'D', 4, 0, 255, 1, 0x44, 0, 0x02});
  std::string StatusReply = Bytes({0xFF, 'L', 0x01, 0x00, 0, 0, 0, 0, 0, 0});

  void OnHostByte(TVirtualLine& line, const TWireByte& byte, TLineTime) override {
    std::string frame;
    {
      std::lock_guard<std::mutex> lock(Mutex);
      RawBytes.push_back(byte);
      if (byte.Baud != 2400) {
        Pending.clear();
        if (byte.Baud == 19200 && byte.Value == 'A') Woken = true;
        return;
      }
      Pending.push_back(static_cast<char>(byte.Value));
      const size_t need = (static_cast<uint8_t>(Pending[0]) & 0x7F) + 2u;
      if (Pending.size() < need) return;
      frame.swap(Pending);
      Frames.push_back({frame, byte.Baud});
    }
    Answer(line, frame);
  }

  void OnLineChange(TVirtualLine& line, const TLineState& state, TLineTime) override {
    bool announce = false;
    {
      std::lock_guard<std::mutex> lock(Mutex);
      Pending.clear();
      if (Woken && state.Baud == 2400) {
        Woken = false;
        announce = AnnounceAfterWake && !Silent;
        ++Wakeups;
      }
    }
    // A real interface needs a moment after waking; the host purges meanwhile.
    if (announce) {
      const std::string frame = FrameOf(Bytes({0xFF, 'V', 0x94, 0x3E, 0x11, 0x00, 0x00}));
      line.SendToHost(std::vector<uint8_t>(frame.begin(), frame.end()), 2400, -1,
                      TLineClock::now() + std::chrono::milliseconds(30));
    }
  }

  // Sends an interface frame (0xFF + letter...) or a bus frame built from message.
  static void Send(TVirtualLine& line, const std::string& message) {
    SendRaw(line, FrameOf(message));
  }
  // Length byte, message, checksum (written out here, independent of the driver).
  static std::string FrameOf(const std::string& message) {
    std::string frame(1, static_cast<char>(message.size()));
    frame += message;
    uint8_t sum = 0;
    for (unsigned char c : frame) sum = static_cast<uint8_t>(sum + c);
    frame.push_back(static_cast<char>(0 - sum));
    return frame;
  }
  static void SendRaw(TVirtualLine& line, const std::string& raw) {
    line.SendToHost(std::vector<uint8_t>(raw.begin(), raw.end()), 2400);
  }

  std::vector<TSeenFrame> SeenFrames() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Frames;
  }
  std::vector<TWireByte> SeenBytes() {
    std::lock_guard<std::mutex> lock(Mutex);
    return RawBytes;
  }
  int WakeupCount() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Wakeups;
  }
  void ClearSeen() {
    std::lock_guard<std::mutex> lock(Mutex);
    Frames.clear();
    RawBytes.clear();
  }

 private:
  void Answer(TVirtualLine& line, const std::string& frame) {
    if (Silent || frame.size() < 4) return;
    if (frame[1] == '!') {
      const auto reply =
          AddressedResponder ? AddressedResponder(frame.substr(1, frame.size() - 2)) : std::nullopt;
      if (reply) Send(line, *reply);
      return;
    }
    if (static_cast<uint8_t>(frame[1]) != 0xFF) return;
    const char letter = frame[2];
    const std::string body = frame.substr(3, frame.size() - 4);
    switch (letter) {
      case 'A':
        if (AckAddress)
          Send(line, std::string("\xFF"
                                 "A") +
                         body);
        return;
      case 'S':
        if (AckState)
          Send(line,
               "\xFF"
               "S");
        return;
      case 'D':
        Send(line, StateReply);
        return;
      case 'L':
        Send(line, StatusReply);
        return;
      default:
        break;
    }
    const bool upper = letter >= 'X' && letter <= 'Z';
    const bool lower = letter >= 'x' && letter <= 'z';
    if (!(upper || lower) || !Responder) return;
    const std::string request = lower ? body.substr(0, body.size() - 1) : body;
    const auto reply = Responder(request);
    if (reply)
      Send(line,
           std::string(1, '\xFF') + static_cast<char>(upper ? letter : letter - 0x20) + *reply);
  }

  std::mutex Mutex;
  std::string Pending;
  std::vector<TSeenFrame> Frames;
  std::vector<TWireByte> RawBytes;
  bool Woken = false;
  int Wakeups = 0;
};

// ---- BX1 -------------------------------------------------------------------------

// A BX1 bus: every host byte comes back as its echo (EchoFilter may change it);
// each complete 4-byte host frame is passed to Responder, whose 3 message bytes
// are sent back as a device frame (first byte with the ninth bit set).
class TBX1Peer : public TVirtualDevice {
 public:
  std::function<std::optional<std::string>(const std::string& message)> Responder;
  // Returns the echo for the index-th host byte (default: the byte itself).
  std::function<TWireByte(size_t index, const TWireByte& byte)> EchoFilter;

  void OnHostByte(TVirtualLine& line, const TWireByte& byte, TLineTime) override {
    TWireByte echo = byte;
    std::string frame;
    {
      std::lock_guard<std::mutex> lock(Mutex);
      if (EchoFilter) echo = EchoFilter(Received.size(), byte);
      Received.push_back(byte);
      if (byte.Ninth == 1) Pending.clear();
      Pending.push_back(static_cast<char>(byte.Value));
      if (Pending.size() == 4) frame.swap(Pending);
    }
    line.SendToHost({echo});
    if (frame.empty() || !Responder) return;
    const auto reply = Responder(frame.substr(0, 3));
    if (reply) SendFrame(line, *reply);
  }
  void OnLineChange(TVirtualLine&, const TLineState& state, TLineTime) override {
    std::lock_guard<std::mutex> lock(Mutex);
    States.push_back(state);
  }

  // A device frame: message bytes 0..2 (ninth bit on the first) and the checksum.
  static void SendFrame(TVirtualLine& line, const std::string& message, bool ninthBit = true,
                        bool goodSum = true) {
    uint8_t sum = 0;
    std::vector<TWireByte> wire;
    for (size_t i = 0; i < 3; ++i) {
      const uint8_t v = i < message.size() ? static_cast<uint8_t>(message[i]) : 0;
      sum = static_cast<uint8_t>(sum + v);
      wire.push_back({v, static_cast<int8_t>(i == 0 && ninthBit ? 1 : 0), 1200});
    }
    wire.push_back({static_cast<uint8_t>(goodSum ? 0 - sum : 1 - sum), 0, 1200});
    line.SendToHost(wire);
  }

  std::vector<TWireByte> ReceivedBytes() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Received;
  }
  std::vector<TLineState> LineStates() {
    std::lock_guard<std::mutex> lock(Mutex);
    return States;
  }

 private:
  std::mutex Mutex;
  std::string Pending;
  std::vector<TWireByte> Received;
  std::vector<TLineState> States;
};
