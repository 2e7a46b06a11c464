// The calibration record reader behind --history: any line is a record or is
// skipped, every record the writer makes reads back with its values, and the table
// never passes a control character from the file to the terminal.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/CalibrationRecord.h"
#include "app/console/History.h"

namespace {

uint32_t Take(const uint8_t*& data, size_t& size, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes && size > 0; ++i, --size) value = (value << 8) | *data++;
  return value;
}

// Facts made from the input: numbers of every width and texts with any byte.
TDeviceFacts FactsFrom(const uint8_t* data, size_t size) {
  TDeviceFacts facts;
  facts.When = QDateTime::fromMSecsSinceEpoch(Take(data, size, 4) * 1000LL, Qt::UTC);
  facts.PortNumber = Take(data, size, 2);
  facts.DeviceVersion = static_cast<int32_t>(Take(data, size, 4));
  if (Take(data, size, 1) & 1) facts.Source = static_cast<int32_t>(Take(data, size, 4));
  const uint32_t targets = Take(data, size, 1) % 3;
  for (uint32_t i = 0; i < targets; ++i)
    facts.Targets.push_back({static_cast<uint16_t>(Take(data, size, 2)),
                             static_cast<int32_t>(Take(data, size, 4)), std::nullopt});
  facts.DurationMs = Take(data, size, 4);
  const size_t half = size / 2;
  facts.PortPath.assign(reinterpret_cast<const char*>(data), half);
  facts.Result.assign(reinterpret_cast<const char*>(data) + half, size - half);
  return facts;
}

bool HasControl(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\n') || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(text[i + 1]) <= 0x9F)
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Any text: records or skipped lines, and a table without raw control characters.
  const QByteArray text(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  int skipped = 0;
  const auto entries = ParseRecordText(text, &skipped);
  if (HasControl(HistoryTable(entries))) __builtin_trap();

  // The same bytes as facts: the writer's line reads back as one record.
  const TDeviceFacts facts = FactsFrom(data, size);
  const std::string line = RecordLine(facts);
  TRecordEntry entry;
  if (!ParseRecordLine(QByteArray::fromStdString(line).chopped(1), entry)) __builtin_trap();
  const QJsonObject& r = entry.Object;
  if (r.value("device").toObject().value("version").toInteger() != facts.DeviceVersion ||
      r.value("port").toObject().value("com").toInteger() != facts.PortNumber ||
      r.value("durationMs").toInteger() != facts.DurationMs)
    __builtin_trap();
  if (HasControl(HistoryTable({entry}))) __builtin_trap();
  return 0;
}
