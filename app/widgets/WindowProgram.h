#pragma once
// The window program's units: the Qt dialogs are installed before the units start, so
// that a misdeclared string table (found while the units start) shows its message box
// instead of only a line on standard error; the units stop in reverse order.

class TWindowProgramUnits {
 public:
  // `startUnits` starts the program's units (replaceable for tests).
  explicit TWindowProgramUnits(void (*startUnits)() = nullptr);
  ~TWindowProgramUnits();
  TWindowProgramUnits(const TWindowProgramUnits&) = delete;
  TWindowProgramUnits& operator=(const TWindowProgramUnits&) = delete;
};
