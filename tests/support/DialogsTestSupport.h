#pragma once
// Helpers for the support tests: a dialog handler that records what it was asked and
// answers as told, and an event pump for the main thread.

#include <QCoreApplication>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "support/Dialogs.h"
#include "support/Sema.h"

struct TDialogCall {
  std::string Operation;  // "plain", "message", "save", "open", "input"
  std::string Caption;
  std::string Text;
  int Kind = -1;
  uint16_t Buttons = 0;
  std::string Filter;
};

class TRecordingDialogs : public TDialogHandler {
 public:
  explicit TRecordingDialogs(std::vector<TDialogCall>& calls) : Calls(calls) {}
  void PlainMessage(const std::string& caption, const std::string& text) override {
    Calls.push_back({"plain", caption, text, -1, 0, ""});
  }
  int MessageDialog(const std::string& text, TMessageKind kind, uint16_t buttons,
                    int32_t) override {
    Calls.push_back({"message", "", text, kind, buttons, ""});
    if (DuringMessage) DuringMessage();
    return Answer;
  }
  int FileDialog(bool save, const std::string& title, const std::string& defaultExt,
                 const std::string& filter, std::string& fileName) override {
    Calls.push_back({save ? "save" : "open", title, defaultExt, -1, 0, filter});
    if (Answer == drCancel) return drCancel;
    fileName = ChosenName;
    return drOK;
  }
  int InputQuery(const std::string& caption, const std::string& prompt,
                 std::string& value) override {
    Calls.push_back({"input", caption, prompt + "=" + value, -1, 0, ""});
    if (Answer == drCancel) return drCancel;
    value = ChosenName;
    return drOK;
  }

  std::vector<TDialogCall>& Calls;
  int Answer = drOK;
  std::string ChosenName;
  std::function<void()> DuringMessage;
};

// Pumps the main thread's events until `done` holds or `ms` have passed.
inline bool PumpUntil(const std::function<bool()>& done, int ms) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (TClock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}
