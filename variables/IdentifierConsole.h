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
// assignment is "NAME=VALUE"; VALUE is decimal, "$" hexadecimal or "%" binary,
// in engineering units, limited to the device's range for the value.
bool SetNamedValue(TBusDriver& driver, const QString& assignment, QString& text);

// The message for an unknown name, with suggestions when there are any.
QString UnknownNameMessage(const QString& name);
