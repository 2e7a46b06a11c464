#include "variables/ExtendedVariable.h"

#include <QRegularExpression>
#include <QStringList>
#include <cmath>
#include <limits>

#include "support/Tools.h"
#include "variables/VariableMath.h"

namespace {

constexpr double FractionUpper = 0.9999999999;
constexpr double FractionLower = 1e-10;
constexpr int MaxDecimals = 9;
constexpr int PackedMantissaMax = 16383;
constexpr int PackedRangeStep = 16384;

// Integer part of x as a 64-bit integer, saturated.
int64_t IntegerPart(double x) {
  if (std::isnan(x)) return 0;
  if (x >= 9.2e18) return std::numeric_limits<int64_t>::max();
  if (x <= -9.2e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(x);
}

// Integer of a description: decimal, or hexadecimal after "$"; at most limit.
bool ReadInteger(const QString& text, uint64_t limit, int64_t& value) {
  const bool hex = text.startsWith(u'$');
  const QString digits = hex ? text.mid(1) : text;
  if (digits.isEmpty() || digits.size() > 16) return false;
  const QString allowed =
      hex ? QStringLiteral("0123456789abcdefABCDEF") : QStringLiteral("0123456789");
  for (QChar c : digits) {
    if (!allowed.contains(c)) return false;
  }
  bool ok = false;
  const qulonglong v = digits.toULongLong(&ok, hex ? 16 : 10);
  if (!ok || v > limit) return false;
  value = static_cast<int64_t>(v);
  return true;
}

bool ReadFloat(const QString& text, double& value) {
  bool ok = false;
  const double v = text.toDouble(&ok);
  if (!ok || !std::isfinite(v) || text.trimmed() != text) return false;
  value = v;
  return true;
}

const QRegularExpression& Separators() {
  static const QRegularExpression separators(QStringLiteral("[\\t ,]+"));
  return separators;
}

struct TParseState {
  double Scale = 1.0;
  double Offset = 0.0;
  char Override = 0;
};

// One token after the address; false when it is not understood.
bool ApplyToken(const QString& token, TDataType& dataType, TParseState& state) {
  const char first = token.at(0).toUpper().toLatin1();
  switch (first) {
    case 'B':
      dataType = dtByte;
      return true;
    case 'I':
      dataType = dtSigned;
      return true;
    case 'W':
      dataType = dtWord;
      return true;
    case 'H':
      dataType = dtPacked;
      return true;
    case 'S':
      return ReadFloat(token.mid(1), state.Scale);
    case 'O':
      return ReadFloat(token.mid(1), state.Offset);
    case '$':
      state.Override = 'H';
      return true;
    case '%':
      state.Override = 'B';
      return true;
    case 'D':
      state.Override = 'D';
      return true;
    case 'V':
      return true;
    default:
      if (first >= '0' && first <= '9') {
        state.Override = first;
        return true;
      }
      return false;
  }
}

int32_t EncodePacked(int32_t r) {
  // The packed form has no sign: a negative value would come out as a huge one.
  if (r < 0) r = 0;
  for (int e = 3; e >= 0; --e) {
    const int64_t m = RoundHalfAway(std::ldexp(double(r), -(6 - 2 * e)));
    if (m <= PackedMantissaMax) return static_cast<int32_t>(m + e * PackedRangeStep);
  }
  return PackedMantissaMax;
}

QString Digits(uint64_t n, int base, int width) {
  return QString::number(n, base).toUpper().rightJustified(width, u'0');
}

}  // namespace

int32_t RoundToRaw(double y) {
  if (std::isnan(y)) return 0;
  if (y >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (y <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(RoundHalfAway(y));
}

TExtendedVariable::TExtendedVariable(const QString& description, bool combinedWrite)
    : CombinedWrite(combinedWrite) {
  ReadFailed = true;
  QString ignored;
  Parse(description, ignored);
}

// ---- description ------------------------------------------------------------------

bool TExtendedVariable::Parse(const QString& description, QString& errorText) {
  AccessKind = vkMemory;
  Address = 65535;
  DataType = dtByte;
  BitNumber = 0;
  DisplayFormat = 'D';
  errorText.clear();
  TParseState state;
  bool ok = true;
  if (description.isEmpty()) {
    AccessKind = vkNone;
  } else if (description.contains(u'^')) {
    ok = ParseBitForm(description, errorText);
  } else {
    const QStringList tokens = description.split(Separators(), Qt::SkipEmptyParts);
    int64_t number = 0;
    for (qsizetype i = 0; ok && i < tokens.size(); ++i) {
      ok = i == 0 ? ReadInteger(tokens[i], 65535, number) : ApplyToken(tokens[i], DataType, state);
      if (ok && i == 0) Address = static_cast<uint16_t>(number);
      if (!ok) errorText = tokens[i];
    }
    // The offset is written in engineering units and kept in raw units.
    if (ok && state.Offset != 0 && state.Scale != 1 && state.Scale != 0) {
      state.Offset /= state.Scale;
    }
  }
  SetOffset(RoundToRaw(state.Offset));
  SetScale(state.Scale);
  if (state.Override) DisplayFormat = state.Override;
  return ok;
}

bool TExtendedVariable::ParseBitForm(const QString& description, QString& errorText) {
  const qsizetype caret = description.indexOf(u'^');
  const QString addressText = description.left(caret);
  int64_t number = 0;
  DataType = dtBit;
  if (!ReadInteger(addressText, 65535, number)) {
    errorText = addressText;
    return false;
  }
  Address = static_cast<uint16_t>(number);
  const QString bitText =
      description.mid(caret + 1).split(Separators(), Qt::SkipEmptyParts).value(0);
  // A bit beyond the 16-bit word could never be decoded.
  if (!ReadInteger(bitText, 15, number)) {
    errorText = bitText;
    return false;
  }
  BitNumber = static_cast<uint8_t>(number);
  return true;
}

// ---- conversions -------------------------------------------------------------------

int32_t TExtendedVariable::DecodeRaw(int32_t raw) const {
  switch (DataType) {
    case dtByte:
      return raw & 0xFF;
    case dtSigned:
      return static_cast<int16_t>(raw & 0xFFFF);
    case dtWord:
    case dtPacked:
      return raw & 0xFFFF;
    case dtBit:
      return BitNumber < 16 ? ((raw & 0xFFFF) >> BitNumber) & 1 : 0;
  }
  return 0;
}

double TExtendedVariable::RawToValue(int32_t raw) const {
  switch (DataType) {
    case dtByte:
    case dtSigned:
    case dtWord:
      return (double(raw) + Offset) * Scale;
    case dtPacked: {
      const int32_t e = raw >> 14;
      const int32_t m = raw & PackedMantissaMax;
      return (std::ldexp(double(m), 6 - 2 * e) + Offset) * Scale;
    }
    case dtBit:
      break;
  }
  return raw != 0 ? 1.0 : 0.0;
}

int32_t TExtendedVariable::ValueToRaw(bool clamp, double x) const {
  if (Scale == 0) return 0;
  if (DataType == dtBit) return x >= 0.5 ? 1 : 0;
  const double y = x / Scale - Offset;
  const int32_t r = RoundToRaw(y);
  switch (DataType) {
    case dtByte:
      return clamp ? Clamp(r, 0, 255) : r;
    case dtSigned:
      return clamp ? Clamp(r, -32768, 32767) : r;
    case dtWord:
      return clamp ? Clamp(r, 0, 65535) : r;
    case dtPacked:
      return EncodePacked(r);
    case dtBit:
      break;
  }
  return 0;
}

void TExtendedVariable::UpdateDecimals() {
  double a = Scale;
  int i = 0;
  while (i < MaxDecimals) {
    const double f = a - std::trunc(a);
    if (f >= FractionUpper || f <= FractionLower) break;
    ++i;
    a *= 10;
  }
  DisplayFormat = static_cast<char>('0' + i);
}

QString TExtendedVariable::FormatValue(double x) const {
  const int64_t n = IntegerPart(x);
  const int topBit = DataType == dtByte ? 7 : (DataType == dtPacked ? 19 : 15);
  if (DisplayFormat >= '0' && DisplayFormat <= '9') {
    return QString::number(x, 'f', DisplayFormat - '0');
  }
  switch (DisplayFormat) {
    case 'D':
      return QString::number(x, 'f', 3);
    case 'H':
      return QStringLiteral("$") + Digits(static_cast<uint64_t>(n), 16,
                                          DataType == dtByte ? 2 : (DataType == dtPacked ? 5 : 4));
    case 'B': {
      QString bits = QStringLiteral("%");
      for (int bit = topBit; bit >= 0; --bit) bits += ((n >> bit) & 1) ? u'1' : u'0';
      return bits;
    }
    default:
      return QString();
  }
}

TExtendedVariable& TExtendedVariable::SetRawValue(int32_t v) {
  RawValue = v;
  return *this;
}

// ---- value access ------------------------------------------------------------------

void TExtendedVariable::SetValueText(const QString& text) {
  double value = 0.0;
  SetValue(ParseNumberText(text, value) ? value : 0.0);
}

QString TExtendedVariable::GetText() const {
  if (ReadFailed) return ReadErrorText();
  switch (DataType) {
    case dtBit:
      return GetRaw() != 0 ? QStringLiteral("1") : QStringLiteral("0");
    case dtByte:
    case dtSigned:
    case dtWord:
    case dtPacked:
      return FormatValue(GetValue());
  }
  return QString();
}

void TExtendedVariable::SetValue(double x) {
  SetRaw(ValueToRaw(true, x));
}

void TExtendedVariable::SetValueLimited(double x) {
  int32_t r = ValueToRaw(false, x);
  if (r > MaxRaw) r = MaxRaw;
  if (r < MinRaw) r = MinRaw;
  SetRaw(r);
}

double TExtendedVariable::GetValue() const {
  return RawToValue(GetRaw());
}
void TExtendedVariable::SetRaw(int32_t v) {
  RawValue = v;
}
int32_t TExtendedVariable::GetRaw() const {
  return RawValue;
}
void TExtendedVariable::SetDefault(int32_t v) {
  DefaultRaw = v;
}
int32_t TExtendedVariable::GetDefault() const {
  return DefaultRaw;
}
void TExtendedVariable::SetMin(int32_t v) {
  MinRaw = v;
}
int32_t TExtendedVariable::GetMin() const {
  return MinRaw;
}
void TExtendedVariable::SetMax(int32_t v) {
  MaxRaw = v;
}
int32_t TExtendedVariable::GetMax() const {
  return MaxRaw;
}

void TExtendedVariable::SetScale(double x) {
  Scale = x;
  UpdateDecimals();
}

double TExtendedVariable::GetScale() const {
  return Scale;
}
void TExtendedVariable::SetOffset(int32_t v) {
  Offset = v;
}
int32_t TExtendedVariable::GetOffset() const {
  return Offset;
}

void TExtendedVariable::MarkChanged(bool changed) {
  DeviceValue = changed ? NotReadSentinel : RawValue;
}

bool TExtendedVariable::IsModified() const {
  return GetDeviceValue() != RawValue;
}
bool TExtendedVariable::IsAvailable() const {
  return GetScale() != 0;
}
int32_t TExtendedVariable::GetDeviceValue() const {
  return DeviceValue;
}

// ---- number text -------------------------------------------------------------------

namespace {

bool AllOf(const QString& text, const QString& allowed) {
  if (text.isEmpty()) return false;
  for (QChar c : text) {
    if (!allowed.contains(c)) return false;
  }
  return true;
}

// digits [. digits] [e [+|-] digits], at least one mantissa digit.
bool IsDecimalNumber(const QString& text) {
  static const QRegularExpression decimal(
      QStringLiteral("^(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?$"));
  return decimal.match(text).hasMatch();
}

double DigitsValue(const QString& digits, int base) {
  double value = 0.0;
  for (QChar c : digits) value = value * base + QString(c).toInt(nullptr, 16);
  return value;
}

}  // namespace

bool ParseNumberText(const QString& text, double& value) {
  const bool negative = text.startsWith(u'-');
  const QString body = negative ? text.mid(1) : text;
  double v = 0.0;
  if (body.startsWith(u'$')) {
    if (!AllOf(body.mid(1), QStringLiteral("0123456789ABCDEF"))) return false;
    v = DigitsValue(body.mid(1), 16);
  } else if (body.startsWith(u'%')) {
    if (!AllOf(body.mid(1), QStringLiteral("01"))) return false;
    v = DigitsValue(body.mid(1), 2);
  } else {
    if (!IsDecimalNumber(body)) return false;
    bool ok = false;
    v = body.toDouble(&ok);
    if (!ok) return false;
  }
  if (!std::isfinite(v)) return false;
  value = negative ? -v : v;
  return true;
}
