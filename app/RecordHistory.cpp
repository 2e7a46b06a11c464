#include "app/RecordHistory.h"

#include <QDir>
#include <QJsonArray>
#include <algorithm>
#include <cctype>

#include "app/ConsoleFrontEnd.h"

namespace {

std::string Text(const QJsonValue& value) {
  if (value.isString()) return value.toString().toStdString();
  if (value.isDouble()) return std::to_string(value.toInteger());
  return "-";
}

std::string PortText(const QJsonObject& record) {
  const QJsonObject port = record.value("port").toObject();
  std::string text = "COM" + Text(port.value("com"));
  if (port.value("path").isString()) text += " " + Text(port.value("path"));
  return text;
}

// The value the correction stored ("1003 -> 6419"), or what of it is known.
std::string ValueText(const QJsonObject& record) {
  const QJsonArray targets = record.value("targets").toArray();
  const std::string source = Text(record.value("source"));
  if (targets.isEmpty()) return source == "-" ? "-" : source + " -> -";
  return source + " -> " + Text(targets.first().toObject().value("written"));
}

bool IsOk(const QJsonObject& record) {
  return record.value("result").toString() == QLatin1String("OK!");
}

std::string Padded(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string Lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool ParseSinceDate(const std::string& text, QDateTime& since) {
  const QString value = QString::fromStdString(text).trimmed();
  const QDate day = QDate::fromString(value, Qt::ISODate);
  if (day.isValid() && value.size() == 10) {
    since = QDateTime(day, QTime(0, 0), Qt::UTC);
    return true;
  }
  since = QDateTime::fromString(value, Qt::ISODateWithMs);
  return since.isValid();
}

bool RecordMatchesPort(const QJsonObject& record, const std::string& port) {
  const QJsonObject where = record.value("port").toObject();
  if (port.find('/') != std::string::npos || port.find('\\') != std::string::npos)
    return where.value("path").toString().toStdString() == port;
  std::string digits = Lower(port);
  if (digits.rfind("com", 0) == 0) digits = digits.substr(3);
  return !digits.empty() && Text(where.value("com")) == digits;
}

bool RecordSelected(const QJsonObject& record, const QDateTime& since, const std::string& port) {
  if (since.isValid()) {
    const QDateTime when =
        QDateTime::fromString(record.value("time").toString(), Qt::ISODateWithMs);
    if (!when.isValid() || when < since) return false;
  }
  return port.empty() || RecordMatchesPort(record, port);
}

std::vector<std::string> HistoryRow(const QJsonObject& r) {
  return {Text(r.value("time")), PortText(r), Text(r.value("device").toObject().value("version")),
          ValueText(r), Text(r.value("result"))};
}

bool RecordIsOk(const QJsonObject& record) {
  return IsOk(record);
}

std::string HistoryTable(const std::vector<TRecordEntry>& entries) {
  std::vector<std::vector<std::string>> rows{{"time", "port", "device", "value", "result"}};
  int ok = 0;
  for (const auto& entry : entries) {
    rows.push_back(HistoryRow(entry.Object));
    ok += IsOk(entry.Object) ? 1 : 0;
  }
  std::vector<size_t> widths(rows.front().size(), 0);
  for (const auto& row : rows)
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  std::string table;
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i)
      line += i + 1 < row.size() ? Padded(row[i], widths[i] + 2) : row[i];
    table += line + "\n";
  }
  const int devices = static_cast<int>(entries.size());
  return table + std::to_string(devices) + (devices == 1 ? " device, " : " devices, ") +
         std::to_string(ok) + " OK, " + std::to_string(devices - ok) +
         (devices - ok == 1 ? " error\n" : " errors\n");
}

int RunHistory(const THistoryQuery& query, FILE* out, FILE* err) {
  QDateTime since;
  if (!query.Since.empty() && !ParseSinceDate(query.Since, since)) {
    std::fprintf(err, "calibrator-cli: --since needs a date (2024-05-31) or a time, not %s\n",
                 query.Since.c_str());
    return ceUsage;
  }
  const QString path =
      query.File.empty() ? DefaultRecordPath() : QString::fromStdString(query.File);
  std::vector<TRecordEntry> entries;
  int skipped = 0;
  std::string error;
  if (!ReadRecordFile(path, entries, &skipped, error)) {
    std::fprintf(err, "calibrator-cli: cannot read %s: %s\n",
                 QDir::toNativeSeparators(path).toStdString().c_str(), error.c_str());
    return ceUsage;
  }
  const auto excluded = [&](const TRecordEntry& entry) {
    return !RecordSelected(entry.Object, since, query.Port);
  };
  entries.erase(std::remove_if(entries.begin(), entries.end(), excluded), entries.end());
  if (query.Json) {
    for (const auto& entry : entries) std::fprintf(out, "%s\n", entry.Line.constData());
  } else {
    std::fputs(HistoryTable(entries).c_str(), out);
  }
  if (skipped > 0)
    std::fprintf(err, "calibrator-cli: %d damaged line%s skipped\n", skipped,
                 skipped == 1 ? "" : "s");
  return ceOk;
}
