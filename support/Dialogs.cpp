#include "support/Dialogs.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "support/Tools.h"

namespace {

// Shows nothing: messages go to standard error and every question is answered on
// its "no" side, so that core code runs without any window or terminal.
class TDefaultDialogs : public TDialogHandler {
 public:
  void PlainMessage(const std::string& caption, const std::string& text) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), AdjustLineBreaks(text).c_str());
  }
  int MessageDialog(const std::string& text, TMessageKind, uint16_t buttons, int32_t) override {
    std::fprintf(stderr, "%s\n", AdjustLineBreaks(text).c_str());
    if (buttons & dbCancel) return drCancel;
    if (buttons & dbNo) return drNo;
    return drOK;
  }
  int FileDialog(bool, const std::string&, const std::string&, const std::string&,
                 std::string&) override {
    return drCancel;
  }
  int InputQuery(const std::string&, const std::string&, std::string&) override { return drCancel; }
};

std::mutex HandlerGuard;
std::unique_ptr<TDialogHandler> Installed;

TDialogHandler& DefaultHandler() {
  static TDefaultDialogs handler;
  return handler;
}

}  // namespace

TDialogHandler& Dialogs() {
  std::lock_guard lock(HandlerGuard);
  return Installed ? *Installed : DefaultHandler();
}

std::unique_ptr<TDialogHandler> SetDialogHandler(std::unique_ptr<TDialogHandler> handler) {
  std::lock_guard lock(HandlerGuard);
  std::unique_ptr<TDialogHandler> previous = std::move(Installed);
  Installed = std::move(handler);
  return previous;
}

void FatalMessage(const std::string& caption, const std::string& text) {
  std::fprintf(stderr, "%s\n%s\n", caption.c_str(), AdjustLineBreaks(text).c_str());
  std::fflush(stderr);
  bool windowed = false;
  {
    std::lock_guard lock(HandlerGuard);
    windowed = Installed != nullptr;  // the default handler would only repeat the text
  }
  if (windowed) Dialogs().PlainMessage(caption, text);
  std::fflush(nullptr);
  // No unwinding: threads and units may be half-started when a table is misdeclared.
  std::_Exit(1);
}
