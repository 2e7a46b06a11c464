#pragma once
// calibrator-cli --history: the calibration records as a table a person reads, or
// passed through as JSON lines for other tools.

#include <QDateTime>
#include <cstdio>
#include <string>
#include <vector>

#include "app/CalibrationRecord.h"

struct THistoryQuery {
  std::string File;   // empty: the default record file
  std::string Since;  // empty: every record
  std::string Port;   // empty: every port; a COM number ("3", "COM3") or a device path
  bool Json = false;
};

// "2024-05-31" (the start of that day, UTC) or an ISO 8601 time; false when neither.
bool ParseSinceDate(const std::string& text, QDateTime& since);
// Whether a record belongs to the port: its COM number or its device path.
bool RecordMatchesPort(const QJsonObject& record, const std::string& port);
// Whether a record is at or after `since` (invalid: any time) and of `port` (empty:
// any port).
bool RecordSelected(const QJsonObject& record, const QDateTime& since, const std::string& port);
// One record's row of the table: time, port, device version, value, result, with
// the control characters the file may hold escaped.
std::vector<std::string> HistoryRow(const QJsonObject& record);
// Whether the record's result is "OK!".
bool RecordIsOk(const QJsonObject& record);
// No record file yet (no device calibrated on this station): an empty history. A
// dangling link is a file that cannot be read, not an empty history.
bool NoRecordFileYet(const QString& path);
// The table (time, port, device version, value, result) and the summary line.
std::string HistoryTable(const std::vector<TRecordEntry>& entries);

// Prints the history; returns the exit status (0, or 4 for a bad date or an
// unreadable file).
int RunHistory(const THistoryQuery& query, FILE* out, FILE* err);
