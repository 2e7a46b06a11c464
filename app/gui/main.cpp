// calibrator: the calibration window.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "app/widgets/MainForm.h"
#include "app/widgets/ProgressForm.h"
#include "app/widgets/WindowProgram.h"
#include "support/ProgramVersion.h"
#include "support/StopRequest.h"

int main(int argc, char** argv) {
  // Answered before any window system is needed.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::fputs(VersionText("calibrator").c_str(), stdout);
      return 0;
    }
  }
  QApplication app(argc, argv);
  TWindowProgramUnits units;
  int status = 0;
  {
    TForm1 form;
    InstallProgressWindows(&form);
    // A signal closes the window as its close button does: a running calibration
    // first reaches its safe point.
    InstallStopSignals();
    QTimer stopPoll;
    QObject::connect(&stopPoll, &QTimer::timeout, &form, [&form] {
      if (StopRequested()) form.close();
    });
    stopPoll.start(100);
    form.show();
    status = QApplication::exec();
  }
  const int stopStatus = StopExitStatus(StopCause());
  return stopStatus != 0 ? stopStatus : status;
}
