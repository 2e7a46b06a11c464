#pragma once
// The calibration record: one JSON object per line for every device the cycle
// brings to a result, appended to a file that production lines and workshops keep
// (which unit, when, on which station and port, to which value, with what result).
// Readers skip a damaged or cut-off line and never rewrite the file.

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// One target word of the correction: the value written and the value read back
// (none when the read-back failed).
struct TTargetFacts {
  uint16_t Address = 0;
  int32_t Written = 0;
  std::optional<int32_t> ReadBack;
};

// What the cycle knows about one device when it reaches the result.
struct TDeviceFacts {
  QDateTime When;  // UTC
  uint32_t PortNumber = 0;
  std::string PortPath;
  std::string InterfaceKind;  // "BX2", "BX1"
  std::optional<int32_t> InterfaceVersion;
  std::string InterfaceMode;  // empty when the interface has none
  int32_t DeviceVersion = -1;
  std::optional<int> DeviceAddress;
  std::optional<int32_t> Source;
  std::vector<TTargetFacts> Targets;
  // Whether the EEPROM write switch was turned off again after the writes; none for
  // firmware without a switch.
  std::optional<bool> EepromSwitchedOff;
  std::string Result;
  int64_t DurationMs = 0;
};

// The record line for one device: a compact JSON object and a final '\n'.
std::string RecordLine(const TDeviceFacts& facts);
// The program version written into each record ("9007119.4").

// The record file used when none is named: calibration-record.jsonl in the per-user
// data folder ("~/.local/share/Kalmeon Energy" on Linux, "%LOCALAPPDATA%\Kalmeon
// Energy" on Windows).
QString DefaultRecordPath();

// Appends the records of one program run to one file.
class TCalibrationRecord {
 public:
  explicit TCalibrationRecord(QString path) : FPath(std::move(path)) {}
  const QString& Path() const { return FPath; }
  // Writes one line (one append, on the disk when it returns); creates the folder
  // when needed. False with the reason in `error`.
  bool Append(const TDeviceFacts& facts, std::string& error) const;

 private:
  QString FPath;
};

// One record as read back: the object and the line it came from (without '\n').
struct TRecordEntry {
  QJsonObject Object;
  QByteArray Line;
};

// Reads one line as a record: a JSON object with its time and result whose numbers
// are whole numbers. False for anything else (damaged, cut off by a crash while it
// was written, or not a record at all).
bool ParseRecordLine(const QByteArray& line, TRecordEntry& entry);
// Splits a record file's text into records. A line that is not a record is skipped
// and counted.
std::vector<TRecordEntry> ParseRecordText(const QByteArray& text, int* skipped = nullptr);

// Reads a record file line by line, handing each record to `each`, so that memory
// stays flat whatever the file's size. Lines that are not records are counted in
// *skipped (a line longer than any record is one of them). Reads no further than
// `endAt` bytes when it is not negative; *end (when given) receives where reading
// stopped. False with `error` when the file cannot be opened or is not a regular file.
bool ForEachRecord(const QString& path, const std::function<void(const TRecordEntry&)>& each,
                   int* skipped, std::string& error, qint64 endAt = -1, qint64* end = nullptr);
// Reads a whole record file into `entries` (for tests and small files).
bool ReadRecordFile(const QString& path, std::vector<TRecordEntry>& entries, int* skipped,
                    std::string& error);
