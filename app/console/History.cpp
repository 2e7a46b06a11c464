#include "app/console/History.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <algorithm>
#include <cctype>

#include "app/console/Exit.h"
#include "app/console/Output.h"
#include "support/Tools.h"

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
  std::vector<std::string> cells{Text(r.value("time")), PortText(r),
                                 Text(r.value("device").toObject().value("version")), ValueText(r),
                                 Text(r.value("result"))};
  for (auto& cell : cells) cell = EscapeControls(cell);
  return cells;
}

bool RecordIsOk(const QJsonObject& record) {
  return record.value("result").toString() == QLatin1String("OK!");
}

bool NoRecordFileYet(const QString& path) {
  return !QFileInfo(path).exists() && !QFileInfo(path).isSymLink();
}

namespace {

// One table row: the cells as shown (control characters from the file escaped).
struct THistoryRow {
  std::vector<std::string> Cells;
  bool Ok = false;
};

THistoryRow TableRow(const QJsonObject& r) {
  return {HistoryRow(r), RecordIsOk(r)};
}

// The table is laid out in two passes over the records, so that no record need be
// kept: the first measures the columns and counts, the second prints.
class THistoryTable {
 public:
  THistoryTable() { Measure(Header); }
  void Measure(const THistoryRow& row) {
    for (size_t i = 0; i < row.Cells.size(); ++i)
      Widths[i] = std::max(Widths[i], row.Cells[i].size());
    if (&row == &Header) return;
    ++Devices;
    Ok += row.Ok ? 1 : 0;
  }
  std::string Line(const THistoryRow& row) const {
    std::string line;
    for (size_t i = 0; i < row.Cells.size(); ++i)
      line += i + 1 < row.Cells.size() ? Padded(row.Cells[i], Widths[i] + 2) : row.Cells[i];
    return line + "\n";
  }
  std::string HeaderLine() const { return Line(Header); }
  std::string Summary() const {
    const int64_t errors = Devices - Ok;
    return std::to_string(Devices) + (Devices == 1 ? " device, " : " devices, ") +
           std::to_string(Ok) + " OK, " + std::to_string(errors) +
           (errors == 1 ? " error\n" : " errors\n");
  }

 private:
  THistoryRow Header{{"time", "port", "device", "value", "result"}, false};
  std::vector<size_t> Widths = std::vector<size_t>(5, 0);
  int64_t Devices = 0;
  int64_t Ok = 0;
};

}  // namespace

std::string HistoryTable(const std::vector<TRecordEntry>& entries) {
  THistoryTable table;
  for (const auto& entry : entries) table.Measure(TableRow(entry.Object));
  std::string text = table.HeaderLine();
  for (const auto& entry : entries) text += table.Line(TableRow(entry.Object));
  return text + table.Summary();
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
  const auto wanted = [&](const TRecordEntry& entry) {
    return RecordSelected(entry.Object, since, query.Port);
  };
  THistoryTable table;
  const auto measure = [&](const TRecordEntry& entry) {
    if (!wanted(entry)) return;
    if (query.Json)
      std::fprintf(out, "%s\n", entry.Line.constData());
    else
      table.Measure(TableRow(entry.Object));
  };
  int skipped = 0;
  qint64 end = 0;
  std::string error;
  const bool none = NoRecordFileYet(path);
  const bool read = none || ForEachRecord(path, measure, &skipped, error, -1, &end);
  if (!read) {
    std::fprintf(err, "calibrator-cli: cannot read %s: %s\n",
                 QDir::toNativeSeparators(path).toStdString().c_str(), error.c_str());
    return ceUsage;
  }
  if (!query.Json) {
    std::fputs(table.HeaderLine().c_str(), out);
    // The second pass stops where the first did: records appended meanwhile wait
    // for the next run.
    const auto print = [&](const TRecordEntry& entry) {
      if (wanted(entry)) std::fputs(table.Line(TableRow(entry.Object)).c_str(), out);
    };
    if (!none) ForEachRecord(path, print, nullptr, error, end);
    std::fputs(table.Summary().c_str(), out);
  }
  if (skipped > 0)
    std::fprintf(err, "calibrator-cli: %d damaged line%s skipped\n", skipped,
                 skipped == 1 ? "" : "s");
  return ceOk;
}
