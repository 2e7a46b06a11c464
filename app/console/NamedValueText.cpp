#include "app/console/NamedValueText.h"

#include "variables/ExtendedVariable.h"
#include "variables/Identifiers.h"

namespace {

TResult BadInput(const QString& text) {
  return TResult::Failure(TFault::BadInput, text.toStdString());
}

QString LineOf(const TResult& result, const TNamedValue& value) {
  return result ? NamedValueLine(value) : QString::fromStdString(result.Text());
}

}  // namespace

TResult ParseNamedRequest(const QString& nameOrAssignment, bool assignment,
                          TNamedRequest& request) {
  request.Name = nameOrAssignment.trimmed();
  if (assignment) {
    const qsizetype equals = nameOrAssignment.indexOf(u'=');
    if (equals < 0)
      return BadInput(QStringLiteral("Expected NAME=VALUE, got \"%1\"").arg(nameOrAssignment));
    request.Name = nameOrAssignment.left(equals).trimmed();
    const QString valueText = nameOrAssignment.mid(equals + 1).trimmed();
    if (!ParseNumberText(valueText, request.Value))
      return BadInput(QStringLiteral("Cannot read the number \"%1\"").arg(valueText));
  }
  if (FindIdentifier(request.Name) < 0) return BadInput(UnknownNameMessage(request.Name));
  return TResult::Success();
}

QString NamedValueLine(const TNamedValue& value) {
  QString line = QStringLiteral("%1 = %2").arg(value.Name, value.Text);
  if (value.Limited) line += QStringLiteral(" (limited to the device's range)");
  if (value.Rounded)
    line += QStringLiteral(" (stored %1, the nearest step to %2)")
                .arg(PlainNumber(value.Nearest), PlainNumber(value.Asked));
  return line;
}

TResult GetNamedValue(TBusDriver& driver, const QString& name, QString& text, TNamedValue& value) {
  const TResult result = ReadNamedValue(driver, name.trimmed(), value);
  text = LineOf(result, value);
  return result;
}

TResult SetNamedValue(TBusDriver& driver, const QString& assignment, TSetPolicy policy,
                      QString& text, TNamedValue& value) {
  TNamedRequest request;
  TResult result = ParseNamedRequest(assignment, true, request);
  if (result) result = WriteNamedValue(driver, request.Name, request.Value, policy, value);
  text = LineOf(result, value);
  return result;
}
