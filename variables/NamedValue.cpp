#include "variables/NamedValue.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "link/BusDriver.h"
#include "variables/DeviceAccess.h"
#include "variables/ExtendedVariable.h"
#include "variables/Identifiers.h"

namespace {

TResult Failure(TFault fault, const QString& text) {
  return TResult::Failure(fault, text.toStdString());
}

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

// Points variable at the named value and asks the device about it.
TResult PrepareNamed(TBusDriver& driver, const QString& name, TExtendedVariable& variable) {
  const int id = FindIdentifier(name);
  if (id < 0) return Failure(TFault::BadInput, UnknownNameMessage(name));
  variable.SetIdentifier(static_cast<uint8_t>(id));
  const QString known = IdentifierName(static_cast<uint8_t>(id));
  if (!ReadInfoRetrying(driver, variable))
    return Failure(TFault::Communication,
                   QStringLiteral("No information about %1 from the device").arg(known));
  if (!variable.IsAvailable())
    return Failure(TFault::Unsuitable,
                   QStringLiteral("%1 is not available on this device").arg(known));
  return TResult::Success();
}

bool SameValue(double a, double b) {
  return std::fabs(a - b) <= 1e-9 * std::max(1.0, std::fabs(b));
}

void Describe(const TExtendedVariable& variable, TNamedValue& value) {
  value.Known = true;
  value.Name = IdentifierName(variable.GetIdentifier());
  value.Text = variable.GetText();
  value.Value = variable.GetValue();
  value.Raw = variable.GetRaw();
  value.Scale = variable.GetScale();
  value.Minimum = variable.RawToValue(variable.MinRaw);
  value.Maximum = variable.RawToValue(variable.MaxRaw);
}

}  // namespace

QString PlainNumber(double x) {
  return QString::number(x, 'g', 10);
}

QString UnknownNameMessage(const QString& name) {
  const QStringList close = SuggestIdentifiers(name);
  QString message = QStringLiteral("Unknown name \"%1\"").arg(name);
  if (!close.isEmpty()) message += QStringLiteral("; did you mean %1?").arg(close.join(", "));
  return message;
}

TResult ReadNamedValue(TBusDriver& driver, const QString& name, TNamedValue& value) {
  TExtendedVariable variable;
  if (TResult prepared = PrepareNamed(driver, name, variable); !prepared) return prepared;
  if (!ReadDeviceVariable(&driver, variable)) {
    return Failure(TFault::Communication, QStringLiteral("Cannot read %1 from the device")
                                              .arg(IdentifierName(variable.GetIdentifier())));
  }
  Describe(variable, value);
  return TResult::Success();
}

TResult WriteNamedValue(TBusDriver& driver, const QString& name, double asked, TSetPolicy policy,
                        TNamedValue& value) {
  TExtendedVariable variable;
  if (TResult prepared = PrepareNamed(driver, name, variable); !prepared) return prepared;
  const QString known = IdentifierName(variable.GetIdentifier());
  const int32_t requested = variable.ValueToRaw(false, asked);
  const bool outside = requested < variable.MinRaw || requested > variable.MaxRaw;
  if (outside && !policy.Clamp) {
    Describe(variable, value);
    value.Value = asked;  // nothing was stored
    value.Raw = requested;
    return Failure(TFault::Unsuitable,
                   QStringLiteral("%1: %2 is outside the device's limits %3 to %4; nothing written")
                       .arg(known, PlainNumber(asked), PlainNumber(value.Minimum),
                            PlainNumber(value.Maximum)));
  }
  const double nearest = variable.RawToValue(requested);
  const bool between = !outside && !SameValue(nearest, asked);
  if (between && policy.Exact) {
    return Failure(TFault::Unsuitable,
                   QStringLiteral("%1: %2 is not a step of the device's scale (the nearest is "
                                  "%3); nothing written")
                       .arg(known, PlainNumber(asked), PlainNumber(nearest)));
  }
  variable.SetValueLimited(asked);
  if (!WriteVerified(driver, variable))
    return Failure(TFault::NotVerified, QStringLiteral("Writing %1 failed").arg(known));
  Describe(variable, value);
  value.Limited = outside;
  value.Rounded = between;
  value.Asked = asked;
  value.Nearest = nearest;
  return TResult::Success();
}
