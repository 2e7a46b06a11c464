#pragma once
// The program's units in the order they start: the string table first, so that it
// outlives every unit that declares strings; they stop in reverse order.

struct TUnitEntry {
  const char* Name;
  void (*Start)();
  void (*Stop)();
};

// Starts every unit of the program; StopProgramUnits stops them in reverse order once
// it has been called as often as StartProgramUnits (starts may nest).
void StartProgramUnits();
void StopProgramUnits();

// Starts the units for the lifetime of the object (a program's main, a test main).
class TProgramUnits {
 public:
  TProgramUnits() { StartProgramUnits(); }
  ~TProgramUnits() { StopProgramUnits(); }
  TProgramUnits(const TProgramUnits&) = delete;
  TProgramUnits& operator=(const TProgramUnits&) = delete;
};
