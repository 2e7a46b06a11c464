#pragma once
// The dialog point of every test: a handler that records what it was asked and
// answers as told, by default with the positive button it was offered.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/Dialogs.h"

struct TDialogCall {
  std::string Operation;  // "plain", "message", "save", "open", "input"
  std::string Caption;
  std::string Text;
  int Kind = -1;
  uint16_t Buttons = 0;
  std::string Filter;
};

// Workers show dialogs too: the record is guarded; read it with Shown() while they
// may still run, or through Calls once they have ended.
class TRecordingDialogs : public TDialogHandler {
  std::vector<TDialogCall> Own;  // before Calls, which may refer to it

 public:
  TRecordingDialogs() : Calls(Own) {}
  // Records into `calls`, which a fixture keeps.
  explicit TRecordingDialogs(std::vector<TDialogCall>& calls) : Calls(calls) {}

  void PlainMessage(const std::string& caption, const std::string& text) override {
    Record({"plain", caption, text, -1, 0, ""});
  }
  int MessageDialog(const std::string& text, TMessageKind kind, uint16_t buttons,
                    int32_t) override {
    Record({"message", "", text, kind, buttons, ""});
    if (DuringMessage) DuringMessage();
    if (Answer) return *Answer;
    return (buttons & dbOK) ? drOK : (buttons & dbYes) ? drYes : drCancel;
  }
  // Gives ChosenName; cancelled when there is none or the answer is drCancel.
  int FileDialog(bool save, const std::string& title, const std::string& defaultExt,
                 const std::string& filter, std::string& fileName) override {
    Record({save ? "save" : "open", title, defaultExt, -1, 0, filter});
    if (Answer == drCancel || !ChosenName) return drCancel;
    fileName = *ChosenName;
    return drOK;
  }
  int InputQuery(const std::string& caption, const std::string& prompt,
                 std::string& value) override {
    Record({"input", caption, prompt + "=" + value, -1, 0, ""});
    if (Answer == drCancel || !ChosenName) return drCancel;
    value = *ChosenName;
    return drOK;
  }

  // The texts of the messages shown so far.
  std::vector<std::string> Shown() const {
    std::lock_guard lock(Guard);
    std::vector<std::string> texts;
    for (const TDialogCall& call : Calls)
      if (call.Operation == "plain" || call.Operation == "message") texts.push_back(call.Text);
    return texts;
  }
  bool ShownStarting(const std::string& prefix) const {
    for (const auto& text : Shown())
      if (text.rfind(prefix, 0) == 0) return true;
    return false;
  }

  std::vector<TDialogCall>& Calls;
  std::optional<int> Answer;  // none: the positive button offered
  std::optional<std::string> ChosenName;
  std::function<void()> DuringMessage;

 private:
  void Record(TDialogCall call) {
    std::lock_guard lock(Guard);
    Calls.push_back(std::move(call));
  }
  mutable std::mutex Guard;
};

// Installs a recording handler for the life of the object.
class TDialogScope {
 public:
  TDialogScope() {
    auto handler = std::make_unique<TRecordingDialogs>();
    Handler = handler.get();
    Previous = SetDialogHandler(std::move(handler));
  }
  ~TDialogScope() { SetDialogHandler(std::move(Previous)); }
  TDialogScope(const TDialogScope&) = delete;
  TDialogScope& operator=(const TDialogScope&) = delete;
  TRecordingDialogs* Handler = nullptr;

 private:
  std::unique_ptr<TDialogHandler> Previous;
};
