#pragma once
// The one replaceable point every dialog of the program goes through. Core code asks
// here; the window installs the Qt dialogs (app/widgets/QtDialogs.h), the console its
// terminal answers. The default handler shows nothing: it writes message texts to
// standard error and answers the "no" side (Cancel, else No, else OK; file dialogs and
// input queries cancelled).

#include <cstdint>
#include <memory>
#include <string>

// Dialog results (message dialog buttons and file / input dialogs).
enum TDialogResult : int {
  drNone = 0,  // nothing was shown
  drOK = 1,
  drCancel = 2,
  drYes = 6,
  drNo = 7,
};

// Button set of a message dialog.
enum TDialogButton : uint16_t {
  dbYes = 1,
  dbNo = 2,
  dbOK = 4,
  dbCancel = 8,
};

// Kind of a message dialog (the icon): the string kinds 0..4 of the string table.
enum TMessageKind : uint8_t {
  mkWarning = 0,
  mkError = 1,
  mkConfirmation = 2,
  mkInformation = 3,
  mkPlain = 4,
};

class TDialogHandler {
 public:
  virtual ~TDialogHandler() = default;
  // A plain message box with a caption and one OK button (fatal and check errors).
  virtual void PlainMessage(const std::string& caption, const std::string& text) = 0;
  // A modal message dialog of `kind` with the buttons `buttons` (TDialogButton bits);
  // returns the button pressed (drOK, drCancel, drYes, drNo).
  virtual int MessageDialog(const std::string& text, TMessageKind kind, uint16_t buttons,
                            int32_t helpContext) = 0;
  // Save (save = true) or open file dialog. `filter` is "Name|*.ext|Name|*.ext...";
  // `fileName` is the initial name in and the chosen name out. drOK or drCancel.
  virtual int FileDialog(bool save, const std::string& title, const std::string& defaultExt,
                         const std::string& filter, std::string& fileName) = 0;
  // A one-line input query editing `value`. drOK or drCancel.
  virtual int InputQuery(const std::string& caption, const std::string& prompt,
                         std::string& value) = 0;
};

// The handler in force (the default one until another is installed).
TDialogHandler& Dialogs();
// Installs a handler (nullptr restores the default); returns the previous one
// (nullptr when it was the default).
std::unique_ptr<TDialogHandler> SetDialogHandler(std::unique_ptr<TDialogHandler> handler);

// Shows a plain message box, then ends the program with exit code 1. The text also
// goes to standard error.
[[noreturn]] void FatalMessage(const std::string& caption, const std::string& text);
