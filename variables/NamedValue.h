#pragma once
// Reading and writing a device value by its identifier name, on a running driver:
// the device is asked about the value (available, scale, limits), then the value is
// read, or written and read back. Each routine returns what it learnt and a result
// whose text says why it failed.

#include <QString>

#include <cstdint>

#include "support/Result.h"

class TBusDriver;

// Attempts of each information request.
constexpr int NamedValueAttempts = 5;

// What a read or write learnt about the value.
struct TNamedValue {
  bool Known = false;  // the device described the value (the fields below are set)
  QString Name;        // as the identifier table spells it
  QString Text;        // the value as the device's variable writes it
  double Value = 0;    // in engineering units: the value stored (asked for, when refused)
  int32_t Raw = 0;
  double Scale = 0;  // engineering units per raw step
  double Minimum = 0, Maximum = 0;
  // A write that stored something other than the value asked for says so:
  bool Limited = false;  // the nearest limit, for a value outside them
  bool Rounded = false;  // Nearest, the nearest step of the scale to Asked
  double Asked = 0, Nearest = 0;
};

// A number as a person writes it: "13", "12.5".
QString PlainNumber(double x);

// The failure text for a name the identifier table does not hold, with close names
// when there are any.
QString UnknownNameMessage(const QString& name);

TResult ReadNamedValue(TBusDriver& driver, const QString& name, TNamedValue& value);

// What a write does with a value the device cannot store as asked.
struct TSetPolicy {
  bool Clamp = false;  // store the nearest limit instead of refusing a value outside them
  bool Exact = false;  // refuse a value between two steps of the scale instead of rounding
};
// asked is in engineering units. A value outside the device's limits is refused
// (nothing written, the limits in the text) unless the policy clamps; a value between
// two steps is stored at the nearest step unless it must be exact.
TResult WriteNamedValue(TBusDriver& driver, const QString& name, double asked, TSetPolicy policy,
                        TNamedValue& value);
