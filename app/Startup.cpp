#include "app/Startup.h"

#include <iterator>

#include "app/CalibrationCycle.h"
#include "firmware/InterfaceRefresh.h"
#include "firmware/KFFFiles.h"
#include "firmware/KFFMessages.h"
#include "firmware/UpdaterStrings.h"
#include "serial/PortMap.h"
#include "serial/RS232Tools.h"
#include "serial/SerialPort.h"
#include "support/HardcodedStrings.h"
#include "support/Progress.h"
#include "support/Settings.h"
#include "support/Textlogger.h"
#include "support/Threads.h"
#include "variables/ExtendedVariable.h"

namespace {

// The one ordered list. Units that declare strings come after the string table;
// units that use the notification queue come after it.
const TUnitEntry ProgramUnits[] = {
    {"Strings", StartUnitStrings, StopUnitStrings},
    {"Threads", StartUnitThreads, StopUnitThreads},
    {"Textlogger", StartUnitTextlogger, StopUnitTextlogger},
    {"Settings", StartUnitSettings, StopUnitSettings},
    {"Progress", StartUnitProgress, StopUnitProgress},
    {"PortMap", StartUnitPortMap, StopUnitPortMap},
    {"SerialPort", StartUnitSerialPort, StopUnitSerialPort},
    {"RS232Tools", StartUnitRS232Tools, StopUnitRS232Tools},
    {"ExtendedVariable", StartUnitExtendedVariable, StopUnitExtendedVariable},
    {"KFFFiles", StartUnitKFFFiles, StopUnitKFFFiles},
    {"Updater", StartUnitUpdater, StopUnitUpdater},
    {"InterfaceRefresh", StartUnitInterfaceRefresh, StopUnitInterfaceRefresh},
    {"Instructions", StartUnitInstructions, StopUnitInstructions},
};

int StartedUnits = 0;
int Nesting = 0;  // a program's main and a run inside it may both hold the units

}  // namespace

void StartProgramUnits() {
  ++Nesting;
  for (const auto& unit : ProgramUnits) {
    if (StartedUnits > static_cast<int>(&unit - ProgramUnits)) continue;
    unit.Start();
    ++StartedUnits;
  }
}

void StopProgramUnits() {
  if (Nesting > 0 && --Nesting > 0) return;
  while (StartedUnits > 0) {
    --StartedUnits;
    ProgramUnits[StartedUnits].Stop();
  }
}
