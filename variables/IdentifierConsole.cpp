#include "variables/IdentifierConsole.h"

#include <algorithm>
#include <cmath>

#include "link/BusDriver.h"
#include "variables/DeviceAccess.h"
#include "variables/ExtendedVariable.h"
#include "variables/Identifiers.h"

namespace {

bool ReadInfoRetrying(TBusDriver& driver, TExtendedVariable& variable) {
  for (int attempt = 0; attempt < NamedValueAttempts; ++attempt) {
    if (variable.ReadInfo(driver)) return true;
  }
  return false;
}

// A refused write is written again at once: a device that does not answer costs one
// time-out per attempt, not a read-back's as well.
bool WriteVerified(TBusDriver& driver, TExtendedVariable& variable) {
  return WriteDeviceVariable(&driver, variable, {}, TAfterRefusal::WriteAgain);
}

// Points variable at the named value and asks the device about it; text holds
// the reason when that fails.
bool PrepareNamed(TBusDriver& driver, const QString& name, TExtendedVariable& variable,
                  QString& text) {
  const int id = FindIdentifier(name);
  if (id < 0) {
    text = UnknownNameMessage(name);
    return false;
  }
  variable.SetIdentifier(static_cast<uint8_t>(id));
  const QString known = IdentifierName(static_cast<uint8_t>(id));
  if (!ReadInfoRetrying(driver, variable)) {
    text = QStringLiteral("No information about %1 from the device").arg(known);
    return false;
  }
  if (!variable.IsAvailable()) {
    text = QStringLiteral("%1 is not available on this device").arg(known);
    return false;
  }
  return true;
}

// A number as a person writes it: "13", "12.5".
QString Plain(double x) {
  return QString::number(x, 'g', 10);
}

bool SameValue(double a, double b) {
  return std::fabs(a - b) <= 1e-9 * std::max(1.0, std::fabs(b));
}

void Describe(const QString& name, const TExtendedVariable& variable, TNamedValueFacts* facts) {
  if (!facts) return;
  facts->Known = true;
  facts->Name = name;
  facts->Value = variable.GetValue();
  facts->Raw = variable.GetRaw();
  facts->Scale = variable.GetScale();
  facts->Minimum = variable.RawToValue(variable.MinRaw);
  facts->Maximum = variable.RawToValue(variable.MaxRaw);
}

QString ValueLine(const QString& name, const TExtendedVariable& variable) {
  return QStringLiteral("%1 = %2").arg(name, variable.GetText());
}

}  // namespace

QString UnknownNameMessage(const QString& name) {
  const QStringList close = SuggestIdentifiers(name);
  QString message = QStringLiteral("Unknown name \"%1\"").arg(name);
  if (!close.isEmpty()) message += QStringLiteral("; did you mean %1?").arg(close.join(", "));
  return message;
}

bool GetNamedValue(TBusDriver& driver, const QString& name, QString& text,
                   TNamedValueFacts* facts) {
  TExtendedVariable variable;
  const QString trimmed = name.trimmed();
  if (!PrepareNamed(driver, trimmed, variable, text)) return false;
  const QString known = IdentifierName(variable.GetIdentifier());
  if (!ReadDeviceVariable(&driver, variable)) {
    text = QStringLiteral("Cannot read %1 from the device").arg(known);
    return false;
  }
  text = ValueLine(known, variable);
  Describe(known, variable, facts);
  return true;
}

bool CheckNamedRequest(const QString& nameOrAssignment, bool assignment, QString& text) {
  QString name = nameOrAssignment.trimmed();
  if (assignment) {
    const qsizetype equals = nameOrAssignment.indexOf(u'=');
    if (equals < 0) {
      text = QStringLiteral("Expected NAME=VALUE, got \"%1\"").arg(nameOrAssignment);
      return false;
    }
    name = nameOrAssignment.left(equals).trimmed();
    const QString valueText = nameOrAssignment.mid(equals + 1).trimmed();
    double value = 0.0;
    if (!ParseNumberText(valueText, value)) {
      text = QStringLiteral("Cannot read the number \"%1\"").arg(valueText);
      return false;
    }
  }
  if (FindIdentifier(name) >= 0) return true;
  text = UnknownNameMessage(name);
  return false;
}

bool SetNamedValue(TBusDriver& driver, const QString& assignment, QString& text, TSetPolicy policy,
                   TNamedValueFacts* facts) {
  if (!CheckNamedRequest(assignment, true, text)) return false;
  const qsizetype equals = assignment.indexOf(u'=');
  const QString name = assignment.left(equals).trimmed();
  double value = 0.0;
  ParseNumberText(assignment.mid(equals + 1).trimmed(), value);
  TExtendedVariable variable;
  if (!PrepareNamed(driver, name, variable, text)) return false;
  const QString known = IdentifierName(variable.GetIdentifier());
  const int32_t requested = variable.ValueToRaw(false, value);
  const bool outside = requested < variable.MinRaw || requested > variable.MaxRaw;
  if (outside && !policy.Clamp) {
    Describe(known, variable, facts);
    if (facts) {
      facts->Value = value;  // the value asked for: nothing was stored
      facts->Raw = requested;
    }
    text = QStringLiteral("%1: %2 is outside the device's limits %3 to %4; nothing written")
               .arg(known, Plain(value), Plain(variable.RawToValue(variable.MinRaw)),
                    Plain(variable.RawToValue(variable.MaxRaw)));
    return false;
  }
  const double nearest = variable.RawToValue(requested);
  const bool between = !outside && !SameValue(nearest, value);
  if (between && policy.Exact) {
    text = QStringLiteral(
               "%1: %2 is not a step of the device's scale (the nearest is %3); "
               "nothing written")
               .arg(known, Plain(value), Plain(nearest));
    return false;
  }
  variable.SetValueLimited(value);
  if (!WriteVerified(driver, variable)) {
    text = QStringLiteral("Writing %1 failed").arg(known);
    return false;
  }
  text = ValueLine(known, variable);
  Describe(known, variable, facts);
  if (outside) text += QStringLiteral(" (limited to the device's range)");
  if (between)
    text +=
        QStringLiteral(" (stored %1, the nearest step to %2)").arg(Plain(nearest), Plain(value));
  return true;
}
