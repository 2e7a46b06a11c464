#pragma once
// Reading and writing a named device value, for the console's --get NAME and
// --set NAME=VALUE. Each routine does the whole job on a running driver and
// returns the line to print: the value on success, the reason on failure
// (with close names for a name that does not exist).

#include <QString>

class TBusDriver;

// Attempts of each read and of each write-and-verify round.
constexpr int NamedValueAttempts = 5;

bool GetNamedValue(TBusDriver& driver, const QString& name, QString& text);

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
                   TSetPolicy policy = {});

// Checks a --get NAME or --set NAME=VALUE before any device is asked: the name in
// the identifier table, the number readable. False with the reason in text.
bool CheckNamedRequest(const QString& nameOrAssignment, bool assignment, QString& text);

// The message for an unknown name, with suggestions when there are any.
QString UnknownNameMessage(const QString& name);
