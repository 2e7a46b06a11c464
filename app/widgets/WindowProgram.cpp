#include "app/widgets/WindowProgram.h"

#include "app/Startup.h"
#include "app/widgets/QtDialogs.h"
#include "support/Dialogs.h"

TWindowProgramUnits::TWindowProgramUnits(void (*startUnits)()) {
  InstallQtDialogs();
  (startUnits ? startUnits : StartProgramUnits)();
}

TWindowProgramUnits::~TWindowProgramUnits() {
  StopProgramUnits();
  SetDialogHandler(nullptr);  // no Qt dialog after the window program has ended
}
