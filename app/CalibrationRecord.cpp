#include "app/CalibrationRecord.h"

#include "support/ProgramVersion.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QStandardPaths>
#include <QSysInfo>
#include <cstdio>

#include "app/CalibrationCycle.h"
#include "support/AppendFile.h"

namespace {

QString Hex4(uint16_t value) {
  return QString::asprintf("0x%04X", static_cast<unsigned>(value));
}

QJsonValue Optional(const std::optional<int32_t>& value) {
  return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QJsonValue TextOrNull(const std::string& text) {
  return text.empty() ? QJsonValue(QJsonValue::Null) : QJsonValue(QString::fromStdString(text));
}

QJsonObject PortObject(const TDeviceFacts& facts) {
  return {{"com", static_cast<int>(facts.PortNumber)}, {"path", TextOrNull(facts.PortPath)}};
}

QJsonObject InterfaceObject(const TDeviceFacts& facts) {
  return {{"kind", TextOrNull(facts.InterfaceKind)},
          {"version", Optional(facts.InterfaceVersion)},
          {"mode", TextOrNull(facts.InterfaceMode)}};
}

QJsonObject DeviceObject(const TDeviceFacts& facts) {
  return {{"version", facts.DeviceVersion},
          {"address", facts.DeviceAddress ? QJsonValue(*facts.DeviceAddress) : QJsonValue()}};
}

QJsonArray TargetArray(const TDeviceFacts& facts) {
  QJsonArray targets;
  for (const auto& target : facts.Targets)
    targets.append(QJsonObject{{"address", Hex4(target.Address)},
                               {"written", target.Written},
                               {"readBack", Optional(target.ReadBack)}});
  return targets;
}

// True for a missing or empty file too.
bool EndsWithNewLine(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly) || file.size() == 0) return true;
  char last = '\n';
  return !file.seek(file.size() - 1) || !file.getChar(&last) || last == '\n';
}

}  // namespace

std::string RecordLine(const TDeviceFacts& facts) {
  // Keys in a fixed order that reads well: QJsonObject would sort them.
  const auto json = [](const QJsonValue& value) {
    if (value.isObject())
      return QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact).toStdString();
    if (value.isArray())
      return QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact).toStdString();
    // A scalar: wrap it in an array and take the element's text.
    const std::string text =
        QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).toStdString();
    return text.substr(1, text.size() - 2);
  };
  const QString time = facts.When.toUTC().toString(Qt::ISODateWithMs);
  std::string line = "{";
  const auto field = [&](const char* key, const QJsonValue& value) {
    if (line.size() > 1) line += ',';
    line += '"';
    line += key;
    line += "\":" + json(value);
  };
  field("time", time);
  field("program", QString::fromLatin1(ProgramVersion));
  field("station", QSysInfo::machineHostName());
  field("port", PortObject(facts));
  field("interface", InterfaceObject(facts));
  field("device", DeviceObject(facts));
  field("source", Optional(facts.Source));
  field("targets", TargetArray(facts));
  field("eepromSwitchedOff", facts.EepromSwitchedOff ? QJsonValue(*facts.EepromSwitchedOff)
                                                     : QJsonValue(QJsonValue::Null));
  field("result", QString::fromStdString(facts.Result));
  field("durationMs", static_cast<qint64>(facts.DurationMs));
  return line + "}\n";
}

QString DefaultRecordPath() {
  const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  return QDir(base).filePath(QStringLiteral("Kalmeon Energy/calibration-record.jsonl"));
}

bool TCalibrationRecord::Append(const TDeviceFacts& facts, std::string& error) const {
  const QString folder = QFileInfo(FPath).absolutePath();
  if (!QDir().mkpath(folder)) {
    error = "cannot create the folder " + QDir::toNativeSeparators(folder).toStdString();
    return false;
  }
  // After a line cut off by a crash the new record starts a line of its own; the
  // fragment is left as it is.
  std::string line = RecordLine(facts);
  if (!EndsWithNewLine(FPath)) line.insert(line.begin(), '\n');
  return AppendLineDurably(FPath, line, error);
}

std::vector<TRecordEntry> ParseRecordText(const QByteArray& text, int* skipped) {
  std::vector<TRecordEntry> entries;
  int bad = 0;
  for (const QByteArray& raw : text.split('\n')) {
    const QByteArray line = raw.endsWith('\r') ? raw.chopped(1) : raw;
    if (line.trimmed().isEmpty()) continue;
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
      ++bad;
      continue;
    }
    entries.push_back({document.object(), line});
  }
  if (skipped) *skipped = bad;
  return entries;
}

bool ReadRecordFile(const QString& path, std::vector<TRecordEntry>& entries, int* skipped,
                    std::string& error) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    error = file.errorString().toStdString();
    return false;
  }
  entries = ParseRecordText(file.readAll(), skipped);
  return true;
}
