// The progress window: a small always-on-top tool window with a caption, an
// information text, a bar and busy dots. The free progress operations
// (support/Progress.h) drive it once InstallProgressWindows has run; while any
// progress window is open the application's other windows are disabled.
#pragma once

#include <QPointer>
#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;
struct TProgressState;

class TProgressForm : public QWidget {
  Q_OBJECT

 public:
  explicit TProgressForm(QWidget* parent = nullptr);

  // Lays the window out for new texts and bar settings (height follows the text).
  void LayOut(const TProgressState& state);
  // Shows changed texts, bar position and busy dots without a new layout.
  void Refresh(const TProgressState& state);

  QLabel* InfoLabel;
  QProgressBar* ProgressBar;
  QLabel* BusyDots;
  QPushButton* HiddenButton;  // never shown: no caller gives the window a button text
  // The window this one is centred over (none: left where it is).
  QPointer<QWidget> CentreOver;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void ShowBar(const TProgressState& state);
};

// Routes the progress operations to windows. `mainWindow`, when given, is the
// window the progress windows are centred over.
void InstallProgressWindows(QWidget* mainWindow = nullptr);

// The open progress windows (newest last) and the windows they disabled.
int ProgressFormCount();
TProgressForm* CurrentProgressForm();
