// calibrator: the calibration window.
#include <QApplication>

#include "app/widgets/MainForm.h"
#include "app/widgets/ProgressForm.h"
#include "app/widgets/WindowProgram.h"

int main(int argc, char** argv) {
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
