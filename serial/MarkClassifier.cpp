#include "serial/MarkClassifier.h"

#include <vector>

#include "serial/VirtualLine.h"

namespace {

// The error kinds a marked byte of `value` may be, given the counts still open.
uint32_t OpenKinds(uint8_t value, const TErrorCounters& credit) {
  uint32_t kinds = 0;
  if (credit.Parity > 0) kinds |= leParity;
  if (credit.Frame > 0) kinds |= leFraming;
  if (credit.Break > 0 && value == 0) kinds |= leBreak;  // a break always reads as 0x00
  return kinds;
}

bool SingleKind(uint32_t kinds) {
  return kinds != 0 && (kinds & (kinds - 1)) == 0;
}

void Consume(uint32_t kind, TErrorCounters& credit) {
  if (kind == leParity) --credit.Parity;
  if (kind == leFraming) --credit.Frame;
  if (kind == leBreak) --credit.Break;
}

}  // namespace

void TMarkClassifier::AddCounts(const TErrorCounters& increase) {
  // A counter that went backwards (driver reset) tells nothing.
  if (increase.Parity > 0) Credit.Parity += increase.Parity;
  if (increase.Frame > 0) Credit.Frame += increase.Frame;
  if (increase.Break > 0) Credit.Break += increase.Break;
}

uint32_t TMarkClassifier::ReadingBySettings(uint8_t value, char parity) {
  switch (parity) {
    case 'M':
    case 'S':
      return leParity;  // the ninth bit differs from the listening parity
    case 'O':
    case 'E':
      return value == 0 ? leBreak : leParity;
    default:
      return value == 0 ? leBreak : leFraming;
  }
}

void TMarkClassifier::Classify(TDecodedByte* bytes, size_t count) {
  std::vector<size_t> open;
  for (size_t i = 0; i < count; ++i)
    if (bytes[i].Marked) open.push_back(i);
  // Bytes whose kind the counts force first; each one settled may settle another.
  for (bool settled = true; settled && !open.empty();) {
    settled = false;
    for (auto it = open.begin(); it != open.end();) {
      const uint32_t kinds = OpenKinds(bytes[*it].Value, Credit);
      if (!SingleKind(kinds)) {
        ++it;
        continue;
      }
      bytes[*it].Errors = kinds;
      Consume(kinds, Credit);
      it = open.erase(it);
      settled = true;
    }
  }
  bool ambiguous = false;
  for (size_t index : open) {
    const uint32_t kinds = OpenKinds(bytes[index].Value, Credit);
    ambiguous = ambiguous || kinds != 0;
    bytes[index].Errors = kinds != 0 ? kinds : ReadingBySettings(bytes[index].Value, Parity);
  }
  // Which count the ambiguous bytes used is unknown: start afresh with the next read.
  if (ambiguous) Credit = {};
}
