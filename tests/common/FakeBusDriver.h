#pragma once
// A bus driver without a thread or a port: it records every command handed to it
// and answers from a script, so that the exact bytes a caller sends can be checked.

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "link/BusDriver.h"
#include "support/Threads.h"
#include "tests/common/TestBytes.h"

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
