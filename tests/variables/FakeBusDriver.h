#pragma once
// A bus driver without a thread or a port: it records every command handed to it
// and answers from a script, so that the exact bytes a variable sends can be checked.

#include <deque>
#include <string>
#include <vector>

#include "link/BusDriver.h"
#include "support/HardcodedStrings.h"
#include "variables/ExtendedVariable.h"

class TFakeBusDriver : public TBusDriver {
 public:
  TFakeBusDriver() : TBusDriver(true) {}

  std::vector<std::string> Sent;    // every command, in order
  std::deque<std::string> Replies;  // answers to Query / NextReply; "" = none comes
  std::deque<bool> Confirms;        // results of SendAndConfirm; true once used up

  bool SendAndConfirm(const std::string& text, uint8_t) override {
    Sent.push_back(text);
    if (Confirms.empty()) return true;
    const bool result = Confirms.front();
    Confirms.pop_front();
    return result;
  }
  int Query(std::string& text, uint8_t, int) override {
    Sent.push_back(text);
    return NextReply(text, -1);
  }
  int NextReply(std::string& text, int) override {
    text.clear();
    if (!Replies.empty()) {
      text = Replies.front();
      Replies.pop_front();
    }
    return static_cast<int>(text.size());
  }
  int TakeFrame(std::string& text) override {
    text.clear();
    return 0;
  }
  bool TransmitFrame(const std::string&, uint8_t, bool) override { return false; }
  void NextSequence() override {}
  int ConnectedPort() override { return 0; }

 protected:
  void Execute() override {}
};

using TFakeDriverPtr = TThreadPtr<TFakeBusDriver>;

inline TFakeDriverPtr MakeFakeDriver(uint8_t controllerType = 2) {
  TFakeDriverPtr driver(TSafeThread::Create<TFakeBusDriver>(true));
  driver->ControllerType = controllerType;
  return driver;
}

// Bytes from a list of numbers, for expected commands and scripted replies.
inline std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v & 0xFF));
  return out;
}

inline void StartVariableUnits() {
  StartUnitStrings();
  StartUnitExtendedVariable();
}
