// calibrator: the calibration window.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "app/widgets/MainForm.h"
#include "app/widgets/ProgressForm.h"
#include "app/widgets/WindowProgram.h"
#include "support/ProgramVersion.h"

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
    form.show();
    status = QApplication::exec();
  }
  return status;
}
