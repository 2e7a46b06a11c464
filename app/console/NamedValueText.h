#pragma once
// The console's --get NAME and --set NAME=VALUE: the request read from its option
// and checked before any device is asked, the value read or written on a connected
// driver, and the line printed for it.

#include <QString>

#include "support/Result.h"
#include "variables/NamedValue.h"

class TBusDriver;

// A --get NAME or --set NAME=VALUE as read from its option.
struct TNamedRequest {
  QString Name;
  double Value = 0;  // for an assignment; VALUE is decimal, "$" hexadecimal or "%" binary
};

// Reads the option's text: the name in the identifier table, the number readable.
// Fails (bad input) with the reason before any device is asked.
TResult ParseNamedRequest(const QString& nameOrAssignment, bool assignment, TNamedRequest& request);

// The line for a value read or stored: "NAME = VALUE", and what a write stored instead
// of the value asked for.
QString NamedValueLine(const TNamedValue& value);

// Run on a connected driver; text is the line to print: the value, or the reason.
TResult GetNamedValue(TBusDriver& driver, const QString& name, QString& text, TNamedValue& value);
TResult SetNamedValue(TBusDriver& driver, const QString& assignment, TSetPolicy policy,
                      QString& text, TNamedValue& value);
