#pragma once
// Reading and writing a named device value, for the console's --get NAME and
// --set NAME=VALUE. Each routine does the whole job on a running driver and
// returns the line to print: the value on success, the reason on failure
// (with close names for a name that does not exist).

#include <QString>

class TBusDriver;

// Attempts of each read and of each write-and-verify round.
constexpr int NamedValueAttempts = 5;

// What a --get or --set learnt about the value, for machine-readable output.
struct TNamedValueFacts {
  bool Known = false;  // the device described the value (the fields below are set)
  QString Name;
  double Value = 0;  // in engineering units (the value stored, for --set)
  int32_t Raw = 0;
  double Scale = 0;  // engineering units per raw step
  double Minimum = 0, Maximum = 0;
};

bool GetNamedValue(TBusDriver& driver, const QString& name, QString& text,
                   TNamedValueFacts* facts = nullptr);

// What --set does with a value the device cannot store as asked.
struct TSetPolicy {
  bool Clamp = false;  // store the nearest limit instead of refusing a value outside them
  bool Exact = false;  // refuse a value between two steps of the scale instead of rounding
};
// assignment is "NAME=VALUE"; VALUE is decimal, "$" hexadecimal or "%" binary, in
// engineering units. A value outside the device's limits is refused (nothing
// written, the limits in the text) unless the policy clamps; a value between two
// steps is stored at the nearest step and the text says so, unless it must be exact.
bool SetNamedValue(TBusDriver& driver, const QString& assignment, QString& text,
                   TSetPolicy policy = {}, TNamedValueFacts* facts = nullptr);

// Checks a --get NAME or --set NAME=VALUE before any device is asked: the name in
// the identifier table, the number readable. False with the reason in text.
bool CheckNamedRequest(const QString& nameOrAssignment, bool assignment, QString& text);

// The message for an unknown name, with suggestions when there are any.
QString UnknownNameMessage(const QString& name);
