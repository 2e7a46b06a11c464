#pragma once
// Shared pieces of the variable tests: the scripted bus driver and the units the
// variables need started.

#include "support/HardcodedStrings.h"
#include "tests/common/FakeBusDriver.h"
#include "variables/ExtendedVariable.h"

inline void StartVariableUnits() {
  StartUnitStrings();
  StartUnitExtendedVariable();
}
