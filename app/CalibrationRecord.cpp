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
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "support/AppendFile.h"
#include "support/SafeFiles.h"
#include "support/Tools.h"

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
  return AppendLineDurably(FPath, RecordLine(facts), error);
}

namespace {

// No record comes near this; a longer line is damage, not a record.
constexpr qint64 MaxRecordLine = 64 * 1024;

// A fraction where the writer puts whole numbers (COM number, versions, values, the
// duration) is damage: shown as a whole number it would be a wrong value.
bool NumbersAreWhole(const QJsonValue& value) {
  if (value.isDouble()) {
    const double number = value.toDouble();
    return std::isfinite(number) && number == std::floor(number) && std::fabs(number) < 9.0e15;
  }
  if (value.isArray()) {
    const QJsonArray array = value.toArray();
    return std::all_of(array.begin(), array.end(),
                       [](const QJsonValue& item) { return NumbersAreWhole(item); });
  }
  if (value.isObject()) {
    const QJsonObject object = value.toObject();
    return std::all_of(object.begin(), object.end(),
                       [](const QJsonValue& item) { return NumbersAreWhole(item); });
  }
  return true;
}

bool IsRecord(const QJsonObject& object) {
  return object.value("time").isString() && object.value("result").isString() &&
         NumbersAreWhole(object);
}

}  // namespace

bool ParseRecordLine(const QByteArray& raw, TRecordEntry& entry) {
  const QByteArray line = raw.endsWith('\r') ? raw.chopped(1) : raw;
  QJsonParseError parseError{};
  const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
  if (parseError.error != QJsonParseError::NoError || !document.isObject() ||
      !IsRecord(document.object()))
    return false;
  entry = {document.object(), line};
  return true;
}

std::vector<TRecordEntry> ParseRecordText(const QByteArray& text, int* skipped) {
  std::vector<TRecordEntry> entries;
  int bad = 0;
  for (const QByteArray& raw : text.split('\n')) {
    if (raw.trimmed().isEmpty()) continue;
    TRecordEntry entry;
    if (ParseRecordLine(raw, entry))
      entries.push_back(std::move(entry));
    else
      ++bad;
  }
  if (skipped) *skipped = bad;
  return entries;
}

bool ForEachRecord(const QString& path, const std::function<void(const TRecordEntry&)>& each,
                   int* skipped, std::string& error, qint64 endAt, qint64* end) {
  QFile file;
  if (!OpenRegularFile(path, file, error)) return false;
  int bad = 0;
  QByteArray line;
  bool whole = true;
  while ((endAt < 0 || file.pos() < endAt) && ReadBoundedLine(file, MaxRecordLine, line, whole)) {
    if (line.trimmed().isEmpty()) continue;
    TRecordEntry entry;
    if (whole && ParseRecordLine(line, entry))
      each(entry);
    else
      ++bad;
  }
  if (skipped) *skipped = bad;
  if (end) *end = file.pos();
  return true;
}

bool ReadRecordFile(const QString& path, std::vector<TRecordEntry>& entries, int* skipped,
                    std::string& error) {
  entries.clear();
  return ForEachRecord(
      path, [&](const TRecordEntry& entry) { entries.push_back(entry); }, skipped, error);
}
