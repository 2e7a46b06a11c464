#pragma once
// Shared pieces of the detection, query and refresh tests: unit start-up, a
// capturing text-logger destination, a scripted answer for the refresh prompts,
// a dialog handler that agrees to everything, and a scripted peer on a virtual line
// for the line contents the simulator does not produce (echo then wake-up, noise,
// broken frames).

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "firmware/InterfaceRefresh.h"
#include "firmware/KFFFiles.h"
#include "firmware/UpdaterStrings.h"
#include "serial/PortMap.h"
#include "serial/SerialPort.h"
#include "serial/VirtualLine.h"
#include "support/Dialogs.h"
#include "support/HardcodedStrings.h"
#include "support/Progress.h"
#include "support/Settings.h"
#include "support/Textlogger.h"
#include "support/Threads.h"
#include "tests/common/RecordingDialogs.h"
#include "tests/common/StackUnits.h"
#include "variables/ExtendedVariable.h"

inline void StartDetectionUnits() {
  StartDeviceStackUnits();
}

// Collects the messages handed to the text logger while it lives.
class TLogCapture {
 public:
  TLogCapture() {
    auto sink = std::make_unique<TSink>(*this);
    Previous = SetLogDestination(std::move(sink));
  }
  ~TLogCapture() { SetLogDestination(std::move(Previous)); }
  TLogCapture(const TLogCapture&) = delete;
  TLogCapture& operator=(const TLogCapture&) = delete;

  std::vector<std::string> Messages() const {
    std::lock_guard lock(Guard);
    return Entries;
  }
  bool Contains(const std::string& message) const {
    const auto all = Messages();
    return std::find(all.begin(), all.end(), message) != all.end();
  }
  // Messages starting with a prefix, in the order they were logged.
  std::vector<std::string> StartingWith(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const auto& m : Messages())
      if (m.rfind(prefix, 0) == 0) found.push_back(m);
    return found;
  }

 private:
  class TSink : public TLogDestination {
   public:
    explicit TSink(TLogCapture& owner) : Owner(owner) {}
    void AddEntry(const std::string& entry) override {
      // An entry is the message, a line break, the time stamp line.
      const size_t end = entry.size() >= 2 ? entry.rfind('\n', entry.size() - 2) : 0;
      std::lock_guard lock(Owner.Guard);
      Owner.Entries.push_back(entry.substr(0, end == std::string::npos ? 0 : end));
    }

   private:
    TLogCapture& Owner;
  };

  mutable std::mutex Guard;
  std::vector<std::string> Entries;
  std::unique_ptr<TLogDestination> Previous;
};

// Answers the refresh prompts from a script and records what was asked.
class TPromptScript {
 public:
  explicit TPromptScript(std::deque<int> answers = {}) : Answers(std::move(answers)) {
    SetUserPrompt([this](int kind, const std::string& name) {
      Asked.push_back(kind);
      Names.push_back(name);
      LastAsked = TLineClock::now();
      if (OnAsk) OnAsk(kind);
      if (Answers.empty()) return static_cast<int>(drOK);
      const int answer = Answers.front();
      Answers.pop_front();
      return answer;
    });
  }
  ~TPromptScript() { SetUserPrompt(nullptr); }
  TPromptScript(const TPromptScript&) = delete;
  TPromptScript& operator=(const TPromptScript&) = delete;

  std::vector<int> Asked;
  std::vector<std::string> Names;
  std::deque<int> Answers;
  TLineTime LastAsked{};
  std::function<void(int kind)> OnAsk;  // what the user does before answering
};

// Records the host's bursts on a port (the driver's thread may be the writer).
class TSentRecorder {
 public:
  explicit TSentRecorder(TRS232o& port) {
    port.SetTrace([this](const TTraceBurst& burst) {
      if (!burst.Sent) return;
      std::lock_guard lock(Guard);
      Bursts.push_back(burst);
    });
  }
  std::vector<TTraceBurst> Sent() const {
    std::lock_guard lock(Guard);
    return Bursts;
  }
  int SentAfter(TLineTime when) const {
    int count = 0;
    for (const auto& b : Sent()) count += b.When > when ? 1 : 0;
    return count;
  }

 private:
  mutable std::mutex Guard;
  std::vector<TTraceBurst> Bursts;
};

// A peer on the line driven by a callback for every byte the host sends.
class TScriptedPeer : public TVirtualDevice {
 public:
  using THandler = std::function<void(TVirtualLine&, const TWireByte&)>;
  explicit TScriptedPeer(THandler handler) : Handler(std::move(handler)) {}
  void OnHostByte(TVirtualLine& line, const TWireByte& byte, TLineTime) override {
    Handler(line, byte);
  }
  void OnLineChange(TVirtualLine&, const TLineState&, TLineTime) override {}

 private:
  THandler Handler;
};

// A virtual line with a scripted peer, registered as a port and opened.
class TScriptedPort {
 public:
  explicit TScriptedPort(TScriptedPeer::THandler handler)
      : Line(std::make_shared<TVirtualLine>(false)) {
    Line->AttachDevice(std::make_shared<TScriptedPeer>(std::move(handler)));
    Number = RegisterVirtualPortAnywhere(Line);
    Port = std::make_unique<TRS232o>();
    Port->Open(static_cast<uint32_t>(Number), 1200, 'N', 1024, 1024);
  }
  ~TScriptedPort() {
    Port.reset();
    if (Number) UnregisterVirtualPort(Number);
    Line->DetachDevice();
  }
  TScriptedPort(const TScriptedPort&) = delete;
  TScriptedPort& operator=(const TScriptedPort&) = delete;

  std::shared_ptr<TVirtualLine> Line;
  int Number = 0;
  std::unique_ptr<TRS232o> Port;
};

// The raw-port frame for an interface message (0xFF marker included), built here
// by hand so that the tests do not rely on the code under test.
inline std::vector<uint8_t> HandFrame(const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> frame{static_cast<uint8_t>(payload.size())};
  frame.insert(frame.end(), payload.begin(), payload.end());
  uint8_t sum = 0;
  for (uint8_t b : frame) sum = static_cast<uint8_t>(sum + b);
  frame.push_back(static_cast<uint8_t>(0x100 - sum));
  return frame;
}

inline std::vector<uint8_t> VersionPayload(uint32_t version, uint8_t modeByte) {
  return {0xFF,
          'V',
          static_cast<uint8_t>(version),
          static_cast<uint8_t>(version >> 8),
          static_cast<uint8_t>(version >> 16),
          static_cast<uint8_t>(version >> 24),
          modeByte};
}

// Recognises the host's raw 'V' query (02 FF 56 A9 at 2400 baud) byte by byte.
class TQueryWatcher {
 public:
  bool Feed(const TWireByte& byte) {
    static const uint8_t query[4] = {0x02, 0xFF, 0x56, 0xA9};
    if (byte.Baud != 2400) {
      Pos = 0;
      return false;
    }
    Pos = byte.Value == query[Pos] ? Pos + 1 : (byte.Value == query[0] ? 1 : 0);
    if (Pos < 4) return false;
    Pos = 0;
    return true;
  }

 private:
  size_t Pos = 0;
};
