#pragma once
// The console's --json output: one JSON object per run on standard output.

#include <QString>
#include <string>

#include "variables/NamedValue.h"

// {"ok", "message", and when the device described the value: "name", "value",
// "raw", "scale", "minimum", "maximum"} on one line.
std::string NamedValueJson(bool ok, const TNamedValue& facts, const QString& message);
