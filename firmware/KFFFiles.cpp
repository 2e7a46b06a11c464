#include "firmware/KFFFiles.h"

#include "firmware/KFFFormat.h"
#include "firmware/KFFMessages.h"

#include <QtGlobal>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <utility>

// ---------------------------------------------------------------- comma text

namespace {

bool IsBlank(char c) {
  return c >= 1 && c <= 32;
}

// A quoted item from the opening quote at p; "" stands for one quote, an
// unterminated item takes the rest of the text.
QByteArray QuotedItem(const QByteArray& text, qsizetype end, qsizetype& p) {
  QByteArray Item;
  for (++p; p < end; ++p) {
    if (text[p] != '"') {
      Item += text[p];
    } else if (p + 1 < end && text[p + 1] == '"') {
      Item += '"';
      ++p;
    } else {
      ++p;
      break;
    }
  }
  return Item;
}

QByteArray PlainItem(const QByteArray& text, qsizetype end, qsizetype& p) {
  const qsizetype Start = p;
  while (p < end && !IsBlank(text[p]) && text[p] != ',') ++p;
  return text.mid(Start, p - Start);
}

}  // namespace

QStringList KffParseCommaText(const QByteArray& text) {
  QStringList Items;
  const qsizetype Zero = text.indexOf('\0');
  const qsizetype End = Zero < 0 ? text.size() : Zero;
  qsizetype p = 0;
  while (p < End && IsBlank(text[p])) ++p;
  while (p < End) {
    Items << QString::fromLatin1(text[p] == '"' ? QuotedItem(text, End, p)
                                                : PlainItem(text, End, p));
    while (p < End && IsBlank(text[p])) ++p;
    if (p < End && text[p] == ',') {
      ++p;
      while (p < End && IsBlank(text[p])) ++p;
    }
  }
  return Items;
}

QByteArray KffCommaText(const QStringList& items) {
  QByteArray Out;
  for (const QString& Item : items) {
    const QByteArray Bytes = Item.toLatin1();
    const bool NeedsQuotes = Bytes.isEmpty() || std::any_of(Bytes.begin(), Bytes.end(), [](char c) {
                               return (c >= 0 && c <= 32) || c == ',' || c == '"';
                             });
    if (!Out.isEmpty()) Out += ' ';
    if (NeedsQuotes) {
      QByteArray Quoted = Bytes;
      Quoted.replace("\"", "\"\"");
      Out += '"' + Quoted + '"';
    } else {
      Out += Bytes;
    }
  }
  return Out;
}

// ---------------------------------------------------------------- TCodePart

namespace {

int ClampToInt(qint64 value) {
  return static_cast<int>(std::clamp<qint64>(value, INT_MIN, INT_MAX));
}

QString NameOf(const QString& entry) {
  const qsizetype Eq = entry.indexOf(u'=');
  return Eq < 0 ? QString() : entry.left(Eq);
}

int IndexOfName(const QStringList& descriptor, const QString& key) {
  for (int i = 0; i < descriptor.size(); ++i) {
    if (descriptor[i].contains(u'=') &&
        NameOf(descriptor[i]).compare(key, Qt::CaseInsensitive) == 0)
      return i;
  }
  return -1;
}

bool HoldsEntry(const QStringList& descriptor, const QString& entry) {
  return std::any_of(descriptor.begin(), descriptor.end(), [entry](const QString& item) {
    return item.compare(entry, Qt::CaseInsensitive) == 0;
  });
}

}  // namespace

TCodePart::TCodePart(const QString& partName) {
  if (!partName.isEmpty()) Descriptor << QStringLiteral("Part=") + partName;
  Lines << QByteArray("C");
}

QString TCodePart::GetValue(const QString& key) const {
  const int Index = IndexOfName(Descriptor, key);
  const QString Value = Index < 0 ? QString() : Descriptor[Index].mid(key.size() + 1);
  if (Value.isEmpty() && !HoldsEntry(Descriptor, key) &&
      !HoldsEntry(Descriptor, key + QLatin1Char('=')))
    return KffAbsentMarker;
  return Value;
}

int TCodePart::GetInt(const QString& key) const {
  bool Ok = false;
  const int Value = GetValue(key).toInt(&Ok, 10);
  return Ok ? Value : 0;
}

void TCodePart::SetValue(const QString& key, const QString& value) {
  const int Index = IndexOfName(Descriptor, key);
  if (value.isEmpty()) {
    if (Index >= 0) Descriptor.removeAt(Index);
    return;
  }
  const QString Entry = key + QLatin1Char('=') + value;
  if (Index < 0)
    Descriptor << Entry;
  else
    Descriptor[Index] = Entry;
}

void TCodePart::SetInt(const QString& key, int value) {
  SetValue(key, QString::number(value));
}

QString TCodePart::Nonce() const {
  const QString Value = GetValue(QStringLiteral("Nonce"));
  return Value == KffAbsentMarker ? QString() : Value;
}

int TCodePart::UsedKey() const {
  return GetInt(QStringLiteral("UsedKey"));
}

QByteArray TCodePart::ConfigBody() const {
  return Lines.isEmpty() ? QByteArray() : Lines[0].mid(1);
}

void TCodePart::AddMessage(const QByteArray& text) {
  if (text.isEmpty()) return;
  const int Count = ClampToInt(qint64(GetInt(QStringLiteral("ML"))) + 1);
  SetInt(QStringLiteral("ML"), Count);
  // A descriptor that announced messages of its own could point past the end.
  Lines.insert(std::clamp<qsizetype>(Count, 0, Lines.size()), text);
}

QString TCodePart::MessageAt(int index) const {
  const int Line = 1 + index;
  if (index < 0 || index >= GetInt(QStringLiteral("ML")) || Line >= Lines.size()) return QString();
  return QString::fromLatin1(Lines[Line]);
}

int TCodePart::PayloadStart() const {
  return ClampToInt(qint64(GetInt(QStringLiteral("ML"))) + 1);
}

int TCodePart::SendLineCount() const {
  const qint64 Code = GetInt(QStringLiteral("CL"));
  return ClampToInt(SkipData ? Code : Code + GetInt(QStringLiteral("EL")));
}

bool TCodePart::HoldsAnnouncedLines() const {
  const qint64 Ml = GetInt(QStringLiteral("ML")), El = GetInt(QStringLiteral("EL")),
               Cl = GetInt(QStringLiteral("CL"));
  return Ml >= 0 && El >= 0 && Cl >= 0 && El + Cl >= 1 && Lines.size() == 1 + Ml + El + Cl;
}

QByteArray TCodePart::SendLineAt(int index, bool& isData) const {
  const qint64 Data = GetInt(QStringLiteral("EL"));
  isData = !SkipData && index < Data;
  const qint64 Line = PayloadStart() + (SkipData ? Data : 0) + qint64(index);
  if (Line < 0 || Line >= Lines.size()) return QByteArray();
  return Lines[Line];
}

void TCodePart::SetDataReversed(bool reversed) {
  if (reversed == DataReversed) return;
  DataReversed = reversed;
  const qint64 Data = GetInt(QStringLiteral("EL"));
  const qint64 First = PayloadStart();
  if (Data <= 1 || First < 0 || First + Data > Lines.size()) return;
  for (qint64 i = 0; i < Data / 2; ++i) Lines.swapItemsAt(First + i, First + Data - 1 - i);
}

// ---------------------------------------------------------------- reading

namespace {

// Reads the records of one part, keeping the first error and the running sum.
class TPartReader {
 public:
  TPartReader(QIODevice& stream, QString& error) : S(stream), Err(error) {}

  std::uint32_t Sum = 0;

  void Fail(TKffMessage message) {
    if (Err.isEmpty()) Err = KffMessageText(message);
  }

  QByteArray Read(qint64 count, bool counted = true) {
    // A pipe hands out what it has; only an empty read is the end.
    QByteArray Bytes = count > 0 ? S.read(count) : QByteArray();
    while (Bytes.size() < count) {
      const QByteArray More = S.read(count - Bytes.size());
      if (More.isEmpty()) break;
      Bytes += More;
    }
    if (Bytes.size() < count) Fail(TKffMessage::kmUnexpectedEnd);
    if (counted)
      for (char c : Bytes) Sum -= static_cast<std::uint8_t>(c);
    return Bytes;
  }

  std::uint32_t ReadLE(int width, bool counted = true) {
    const QByteArray Bytes = Read(width, counted);
    std::uint32_t Value = 0;
    for (int i = Bytes.size() - 1; i >= 0; --i)
      Value = (Value << 8) | static_cast<std::uint8_t>(Bytes[i]);
    return Value;
  }

  // A string record: length field, content, sum byte.
  QByteArray ReadString(int lengthWidth, bool scrambled) {
    QByteArray Content = Read(ReadLE(lengthWidth));
    if (scrambled) KffUnscramble(Content);
    const std::uint8_t Expected = static_cast<std::uint8_t>(ReadLE(1));
    if (Expected != KffSum8(Content)) Fail(TKffMessage::kmCorrupted);
    return Content;
  }

  bool AtEnd() const { return S.atEnd(); }
  QString& Error() { return Err; }

 private:
  QIODevice& S;
  QString& Err;
};

int LengthWidth(int version) {
  return version < 2 ? 1 : 2;
}

// Header string and format version. The header is normally stored plain; one
// stored scrambled is accepted too (its sum byte then cannot match).
void ReadHeader(TPartReader& r, int& version) {
  QByteArray Header = r.ReadString(1, false);
  if (Header != KffMagic) {
    KffUnscramble(Header);
    if (Header == KffMagic) r.Error().clear();
  }
  if (r.Error().isEmpty() && Header != KffMagic) r.Fail(TKffMessage::kmIncorrectFormat);
  version = static_cast<int>(r.ReadLE(2));
}

void ReadConfigLine(TPartReader& r, TCodePart& part, int version) {
  QByteArray Config("C");
  if (part.GetValue(QStringLiteral("Part")) == QLatin1String("Main")) {
    const QByteArray Stored = r.ReadString(LengthWidth(version), true);
    Config = version < 2 ? "C" + Stored : Stored;
  } else if (version > 2) {
    Config = r.ReadString(LengthWidth(version), true);
  }
  part.Lines << Config;
}

// Whether the part may take `More` records beyond those it holds.
bool WithinRecordCap(TPartReader& r, const TCodePart& part, qint64 more) {
  if (KffRecordCount(part) + more <= KffMaxRecords) return true;
  r.Fail(TKffMessage::kmCorrupted);
  return false;
}

// Reads Count line records; a negative count means up to the end of the stream.
void ReadLines(TPartReader& r, TCodePart& part, int version, qint64 count) {
  for (qint64 i = 0; count < 0 || i < count; ++i) {
    if (r.AtEnd() || !r.Error().isEmpty() || !WithinRecordCap(r, part, 1)) break;
    if (version <= 2) {
      part.Lines << r.Read(KffRawLineSize);
    } else {
      const bool IsMessage = part.Lines.size() < part.PayloadStart();
      part.Lines << r.ReadString(LengthWidth(version), IsMessage);
    }
  }
}

qint64 Key64(const TCodePart& part, const char* key) {
  return part.GetInt(QLatin1String(key));
}

// Smallest stored line record: a raw line (versions 0 to 2), or an empty string
// record (its 2-byte length and its sum byte).
qint64 SmallestRecord(int version) {
  return version <= 2 ? KffRawLineSize : 3;
}

// The descriptor's counts before any line is read: none negative, something to
// send, no more records than the bytes left in the stream can hold (a stream whose
// size is unknown is bounded by the record cap alone) and not past the cap. A file
// that fails here is unusable; nothing is read or sized by its counts.
bool CountsPlausible(TPartReader& r, const TCodePart& part, int version, const QIODevice& stream) {
  const qint64 Ml = version > 2 ? Key64(part, "ML") : 0;
  const qint64 El = Key64(part, "EL"), Cl = Key64(part, "CL");
  if (Ml < 0 || El < 0 || Cl < 0 || El + Cl < 1) {
    r.Fail(TKffMessage::kmCorrupted);
    return false;
  }
  if (!stream.isSequential() &&
      (Ml + El + Cl) * SmallestRecord(version) > stream.size() - stream.pos()) {
    r.Fail(TKffMessage::kmUnexpectedEnd);
    return false;
  }
  return WithinRecordCap(r, part, Ml + El + Cl);
}

// After reading: the lines present are exactly the configuration line and the
// ML + EL + CL lines the descriptor announces, with something to send.
void CheckCountsMatchLines(TPartReader& r, const TCodePart& part) {
  const qint64 Ml = Key64(part, "ML"), El = Key64(part, "EL"), Cl = Key64(part, "CL");
  if (Ml < 0 || El < 0 || Cl < 0 || El + Cl < 1) {
    r.Fail(TKffMessage::kmCorrupted);
  } else if (part.Lines.size() < 1 + Ml + El + Cl) {
    r.Fail(TKffMessage::kmUnexpectedEnd);  // the stream ended before the last record
  } else if (part.Lines.size() != 1 + Ml + El + Cl) {
    r.Fail(TKffMessage::kmCorrupted);
  }
}

}  // namespace

void TCodePart::ReadPart(QIODevice& stream, int& version, QString& error) {
  error.clear();
  DataReversed = false;
  TPartReader R(stream, error);
  if (version == -1 || version > 2) ReadHeader(R, version);
  if (error.isEmpty() && version > KffMaxVersion) R.Fail(TKffMessage::kmNotRecognised);
  const std::uint32_t Check = R.ReadLE(4, false);
  R.Sum += Check;

  const QByteArray Text = version >= 2 ? R.ReadString(LengthWidth(version), true)
                                       : QByteArray("Part=Main MinBFV=0 CL=-5 EL=4");
  Descriptor = KffParseCommaText(Text);
  Lines.clear();
  ReadConfigLine(R, *this, version);

  if (version > 2) {
    if (error.isEmpty() && CountsPlausible(R, *this, version, stream))
      ReadLines(R, *this, version, Key64(*this, "ML") + Key64(*this, "EL") + Key64(*this, "CL"));
  } else {
    while (error.isEmpty() && WithinRecordCap(R, *this, 1)) {
      const QByteArray Message = R.ReadString(LengthWidth(version), true);
      if (Message.isEmpty()) break;
      AddMessage(Message);
    }
    const qsizetype Before = Lines.size();
    R.Sum = Check;
    if (version < 2) {
      ReadLines(R, *this, version, -1);  // every record up to the end of the stream
      SetInt(QStringLiteral("CL"), static_cast<int>(Lines.size() - Before - 4));
    } else if (error.isEmpty() && CountsPlausible(R, *this, version, stream)) {
      ReadLines(R, *this, version, Key64(*this, "CL") + Key64(*this, "EL"));
    }
  }
  if (error.isEmpty()) CheckCountsMatchLines(R, *this);
  if (error.isEmpty() && R.Sum != 0) R.Fail(TKffMessage::kmCorrupted);
}

// ---------------------------------------------------------------- TReprogramBuffer

namespace {

void DefaultMessageHook(const QString& message) {
  KffShowMessage(message);
}

TKffMessageHook& MessageHook() {
  static TKffMessageHook Hook = &DefaultMessageHook;
  return Hook;
}

}  // namespace

TKffMessageHook SetKffMessageHook(TKffMessageHook hook) {
  return std::exchange(MessageHook(), hook ? hook : &DefaultMessageHook);
}

TCodePart* TReprogramBuffer::PartAt(int index) const {
  return index >= 0 && index < Count() ? Parts[index].get() : nullptr;
}

int TReprogramBuffer::IndexOfPart(const QString& name) const {
  for (int i = Count() - 1; i >= 0; --i)
    if (Parts[i]->GetValue(QStringLiteral("Part")) == name) return i;
  return -1;
}

TCodePart* TReprogramBuffer::Add(std::unique_ptr<TCodePart> part) {
  Parts.push_back(std::move(part));
  return Parts.back().get();
}

void TReprogramBuffer::SetDataReversed(bool reversed) {
  for (auto& Part : Parts) Part->SetDataReversed(reversed);
}

void TReprogramBuffer::SetSkipData(bool skip) {
  for (auto& Part : Parts) Part->SkipData = skip;
}

qint64 KffRecordCount(const TCodePart& part) {
  return part.Lines.size() + part.Descriptor.size();
}

void TReprogramBuffer::LoadFromStream(QIODevice& stream, bool showMessages, QString& error) {
  error.clear();
  Parts.clear();
  int Version = -1;
  // An empty stream holds no firmware at all; it must not pass as a sound file.
  if (stream.atEnd()) error = KffMessageText(TKffMessage::kmUnexpectedEnd);
  if (!stream.isSequential() && stream.size() - stream.pos() > KffMaxFileBytes)
    error = KffMessageText(TKffMessage::kmCorrupted);
  qint64 Records = 0;
  while (error.isEmpty() && !stream.atEnd()) {
    const TCodePart* Part = Add(std::make_unique<TCodePart>());
    Parts.back()->ReadPart(stream, Version, error);
    Records += KffRecordCount(*Part);
    if (error.isEmpty() && Records > KffMaxRecords)
      error = KffMessageText(TKffMessage::kmCorrupted);
  }
  if (!error.isEmpty() || !showMessages) return;
  const TCodePart* Main = PartAt(IndexOfPart(QStringLiteral("Main")));
  if (!Main) return;
  for (int i = 0;; ++i) {
    const QString Message = Main->MessageAt(i);
    if (Message.isEmpty()) break;
    MessageHook()(Message);
  }
}

void TReprogramBuffer::LoadFromStream(QIODevice& stream, bool showMessages, std::string& error) {
  QString Text;
  LoadFromStream(stream, showMessages, Text);
  error = Text.toStdString();
}
