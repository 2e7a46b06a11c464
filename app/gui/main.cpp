// calibrator: the calibration window.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <string>
#include <vector>

#include "app/WindowArguments.h"
#include "app/widgets/MainForm.h"
#include "app/widgets/ProgressForm.h"
#include "app/widgets/WindowProgram.h"
#include "support/ProgramVersion.h"
#include "support/StopRequest.h"

int main(int argc, char** argv) {
  // Answered before any window system is needed.
  std::string error;
  switch (ParseWindowArguments(std::vector<std::string>(argv + 1, argv + argc), error)) {
    case TWindowStart::wsHelp:
      std::fputs(WindowUsage().c_str(), stdout);
      return 0;
    case TWindowStart::wsVersion:
      std::fputs(VersionText("calibrator").c_str(), stdout);
      return 0;
    case TWindowStart::wsRefused:
      std::fprintf(stderr, "calibrator: %s\n", error.c_str());
      return 4;  // bad usage, as for calibrator-cli
    case TWindowStart::wsRun:
      break;
  }
  QApplication app(argc, argv);
  TWindowProgramUnits units;
  int status = 0;
  {
    TMainForm form;
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
