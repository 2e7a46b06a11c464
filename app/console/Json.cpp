#include "app/console/Json.h"

#include <QJsonDocument>
#include <QJsonObject>

std::string NamedValueJson(bool ok, const TNamedValue& facts, const QString& message) {
  QJsonObject object;
  object["ok"] = ok;
  object["message"] = message;
  if (facts.Known) {
    object["name"] = facts.Name;
    object["value"] = facts.Value;
    object["raw"] = facts.Raw;
    object["scale"] = facts.Scale;
    object["minimum"] = facts.Minimum;
    object["maximum"] = facts.Maximum;
  }
  return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() + "\n";
}
