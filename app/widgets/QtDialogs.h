#pragma once
// The window's dialogs behind the dialog point (support/Dialogs.h): message boxes with
// the kind's icon and buttons, save / open file dialogs and a one-line input query,
// each centred over the active window (or the main window when there is none or the
// active one is a child window of another). Main thread only.

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QStringList>

#include "support/Dialogs.h"

class QWidget;

class TQtDialogs : public TDialogHandler {
 public:
  void PlainMessage(const std::string& caption, const std::string& text) override;
  int MessageDialog(const std::string& text, TMessageKind kind, uint16_t buttons,
                    int32_t helpContext) override;
  int FileDialog(bool save, const std::string& title, const std::string& defaultExt,
                 const std::string& filter, std::string& fileName) override;
  int InputQuery(const std::string& caption, const std::string& prompt,
                 std::string& value) override;
};

// Installs TQtDialogs as the program's dialog handler.
void InstallQtDialogs();

// Top-left corner that centres a dialog of `dialog` size over `window`; halves are
// truncated toward zero.
QPoint CenteredPosition(const QRect& window, const QSize& dialog);
// The window dialogs are centred over: the active window, or the main (first visible
// top-level) window when there is no active window or it is a child of another.
QWidget* DialogOwnerWindow();
// Converts "Name|*.a;*.b|Other|*.c" into Qt name filters ("Name (*.a *.b)", ...).
QStringList FileDialogFilters(const std::string& filter);
