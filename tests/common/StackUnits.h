#pragma once
// Start-up of every unit the interface detection, the refresh and the updater rely
// on, in the order the program starts them (strings first).

#include "firmware/InterfaceRefresh.h"
#include "firmware/KFFFiles.h"
#include "firmware/KFFMessages.h"
#include "firmware/UpdaterStrings.h"
#include "serial/PortMap.h"
#include "support/HardcodedStrings.h"
#include "support/Progress.h"
#include "support/Settings.h"
#include "support/Textlogger.h"
#include "support/Threads.h"
#include "variables/ExtendedVariable.h"

inline void StartDeviceStackUnits() {
  StartUnitStrings();
  StartUnitThreads();
  StartUnitTextlogger();
  StartUnitSettings();
  StartUnitProgress();
  StartUnitPortMap();
  StartUnitExtendedVariable();
  StartUnitKFFFiles();
  StartUnitUpdater();
  StartUnitInterfaceRefresh();
}
