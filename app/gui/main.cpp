// calibrator: the calibration window.
#include <QApplication>

#include "app/Startup.h"
#include "app/widgets/MainForm.h"
#include "app/widgets/ProgressForm.h"
#include "app/widgets/QtDialogs.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  TProgramUnits units;
  InstallQtDialogs();
  int status = 0;
  {
    TForm1 form;
    InstallProgressWindows(&form);
    form.show();
    status = QApplication::exec();
  }
  return status;
}
