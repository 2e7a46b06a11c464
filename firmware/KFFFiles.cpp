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
QByteArray QuotedItem(const QByteArray& Text, qsizetype End, qsizetype& p) {
  QByteArray Item;
  for (++p; p < End; ++p) {
    if (Text[p] != '"') {
      Item += Text[p];
    } else if (p + 1 < End && Text[p + 1] == '"') {
      Item += '"';
      ++p;
    } else {
      ++p;
      break;
    }
  }
  return Item;
}

QByteArray PlainItem(const QByteArray& Text, qsizetype End, qsizetype& p) {
  const qsizetype Start = p;
  while (p < End && !IsBlank(Text[p]) && Text[p] != ',') ++p;
  return Text.mid(Start, p - Start);
}

}  // namespace

QStringList KffParseCommaText(const QByteArray& Text) {
  QStringList Items;
  const qsizetype Zero = Text.indexOf('\0');
  const qsizetype End = Zero < 0 ? Text.size() : Zero;
  qsizetype p = 0;
  while (p < End && IsBlank(Text[p])) ++p;
  while (p < End) {
    Items << QString::fromLatin1(Text[p] == '"' ? QuotedItem(Text, End, p)
                                                : PlainItem(Text, End, p));
    while (p < End && IsBlank(Text[p])) ++p;
    if (p < End && Text[p] == ',') {
      ++p;
      while (p < End && IsBlank(Text[p])) ++p;
    }
  }
  return Items;
}

QByteArray KffCommaText(const QStringList& Items) {
  QByteArray Out;
  for (const QString& Item : Items) {
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

int ClampToInt(qint64 Value) {
  return static_cast<int>(std::clamp<qint64>(Value, INT_MIN, INT_MAX));
}

QString NameOf(const QString& Entry) {
  const qsizetype Eq = Entry.indexOf(u'=');
  return Eq < 0 ? QString() : Entry.left(Eq);
}

int IndexOfName(const QStringList& Descriptor, const QString& Key) {
  for (int i = 0; i < Descriptor.size(); ++i) {
    if (Descriptor[i].contains(u'=') &&
        NameOf(Descriptor[i]).compare(Key, Qt::CaseInsensitive) == 0)
      return i;
  }
  return -1;
}

bool HoldsEntry(const QStringList& Descriptor, const QString& Entry) {
  return std::any_of(Descriptor.begin(), Descriptor.end(), [&](const QString& Item) {
    return Item.compare(Entry, Qt::CaseInsensitive) == 0;
  });
}

}  // namespace

TCodePart::TCodePart(const QString& PartName) {
  if (!PartName.isEmpty()) Descriptor << QStringLiteral("Part=") + PartName;
  Lines << QByteArray("C");
}

QString TCodePart::GetValue(const QString& Key) const {
  const int Index = IndexOfName(Descriptor, Key);
  const QString Value = Index < 0 ? QString() : Descriptor[Index].mid(Key.size() + 1);
  if (Value.isEmpty() && !HoldsEntry(Descriptor, Key) &&
      !HoldsEntry(Descriptor, Key + QLatin1Char('=')))
    return KffAbsentMarker;
  return Value;
}

int TCodePart::GetInt(const QString& Key) const {
  bool Ok = false;
  const int Value = GetValue(Key).toInt(&Ok, 10);
  return Ok ? Value : 0;
}

void TCodePart::SetValue(const QString& Key, const QString& Value) {
  const int Index = IndexOfName(Descriptor, Key);
  if (Value.isEmpty()) {
    if (Index >= 0) Descriptor.removeAt(Index);
    return;
  }
  const QString Entry = Key + QLatin1Char('=') + Value;
  if (Index < 0)
    Descriptor << Entry;
  else
    Descriptor[Index] = Entry;
}

void TCodePart::SetInt(const QString& Key, int Value) {
  SetValue(Key, QString::number(Value));
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

void TCodePart::AddMessage(const QByteArray& Text) {
  if (Text.isEmpty()) return;
  const int Count = ClampToInt(qint64(GetInt(QStringLiteral("ML"))) + 1);
  SetInt(QStringLiteral("ML"), Count);
  // A descriptor that announced messages of its own could point past the end.
  Lines.insert(std::clamp<qsizetype>(Count, 0, Lines.size()), Text);
}

QString TCodePart::MessageAt(int Index) const {
  const int Line = 1 + Index;
  if (Index < 0 || Index >= GetInt(QStringLiteral("ML")) || Line >= Lines.size()) return QString();
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

QByteArray TCodePart::SendLineAt(int Index, bool& IsData) const {
  const qint64 Data = GetInt(QStringLiteral("EL"));
  IsData = !SkipData && Index < Data;
  const qint64 Line = PayloadStart() + (SkipData ? Data : 0) + qint64(Index);
  if (Line < 0 || Line >= Lines.size()) return QByteArray();
  return Lines[Line];
}

void TCodePart::SetDataReversed(bool Reversed) {
  if (Reversed == DataReversed) return;
  DataReversed = Reversed;
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
  TPartReader(QIODevice& Stream, QString& Error) : S(Stream), Err(Error) {}

  std::uint32_t Sum = 0;

  void Fail(TKffMessage Message) {
    if (Err.isEmpty()) Err = KffMessageText(Message);
  }

  QByteArray Read(qint64 Count, bool Counted = true) {
    // A pipe hands out what it has; only an empty read is the end.
    QByteArray Bytes = Count > 0 ? S.read(Count) : QByteArray();
    while (Bytes.size() < Count) {
      const QByteArray More = S.read(Count - Bytes.size());
      if (More.isEmpty()) break;
      Bytes += More;
    }
    if (Bytes.size() < Count) Fail(TKffMessage::kmUnexpectedEnd);
    if (Counted)
      for (char c : Bytes) Sum -= static_cast<std::uint8_t>(c);
    return Bytes;
  }

  std::uint32_t ReadLE(int Width, bool Counted = true) {
    const QByteArray Bytes = Read(Width, Counted);
    std::uint32_t Value = 0;
    for (int i = Bytes.size() - 1; i >= 0; --i)
      Value = (Value << 8) | static_cast<std::uint8_t>(Bytes[i]);
    return Value;
  }

  // A string record: length field, content, sum byte.
  QByteArray ReadString(int LengthWidth, bool Scrambled) {
    QByteArray Content = Read(ReadLE(LengthWidth));
    if (Scrambled) KffUnscramble(Content);
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

int LengthWidth(int Version) {
  return Version < 2 ? 1 : 2;
}

// Header string and format version. The header is normally stored plain; one
// stored scrambled is accepted too (its sum byte then cannot match).
void ReadHeader(TPartReader& R, int& Version) {
  QByteArray Header = R.ReadString(1, false);
  if (Header != KffMagic) {
    KffUnscramble(Header);
    if (Header == KffMagic) R.Error().clear();
  }
  if (R.Error().isEmpty() && Header != KffMagic) R.Fail(TKffMessage::kmIncorrectFormat);
  Version = static_cast<int>(R.ReadLE(2));
}

void ReadConfigLine(TPartReader& R, TCodePart& Part, int Version) {
  QByteArray Config("C");
  if (Part.GetValue(QStringLiteral("Part")) == QLatin1String("Main")) {
    const QByteArray Stored = R.ReadString(LengthWidth(Version), true);
    Config = Version < 2 ? "C" + Stored : Stored;
  } else if (Version > 2) {
    Config = R.ReadString(LengthWidth(Version), true);
  }
  Part.Lines << Config;
}

// Whether the part may take `More` records beyond those it holds.
bool WithinRecordCap(TPartReader& R, const TCodePart& Part, qint64 More) {
  if (KffRecordCount(Part) + More <= KffMaxRecords) return true;
  R.Fail(TKffMessage::kmCorrupted);
  return false;
}

// Reads Count line records; a negative count means up to the end of the stream.
void ReadLines(TPartReader& R, TCodePart& Part, int Version, qint64 Count) {
  for (qint64 i = 0; Count < 0 || i < Count; ++i) {
    if (R.AtEnd() || !R.Error().isEmpty() || !WithinRecordCap(R, Part, 1)) break;
    if (Version <= 2) {
      Part.Lines << R.Read(KffRawLineSize);
    } else {
      const bool IsMessage = Part.Lines.size() < Part.PayloadStart();
      Part.Lines << R.ReadString(LengthWidth(Version), IsMessage);
    }
  }
}

qint64 Key64(const TCodePart& Part, const char* Key) {
  return Part.GetInt(QLatin1String(Key));
}

// Smallest stored line record: a raw line (versions 0 to 2), or an empty string
// record (its 2-byte length and its sum byte).
qint64 SmallestRecord(int Version) {
  return Version <= 2 ? KffRawLineSize : 3;
}

// The descriptor's counts before any line is read: none negative, something to
// send, no more records than the bytes left in the stream can hold (a stream whose
// size is unknown is bounded by the record cap alone) and not past the cap. A file
// that fails here is unusable; nothing is read or sized by its counts.
bool CountsPlausible(TPartReader& R, const TCodePart& Part, int Version, const QIODevice& Stream) {
  const qint64 Ml = Version > 2 ? Key64(Part, "ML") : 0;
  const qint64 El = Key64(Part, "EL"), Cl = Key64(Part, "CL");
  if (Ml < 0 || El < 0 || Cl < 0 || El + Cl < 1) {
    R.Fail(TKffMessage::kmCorrupted);
    return false;
  }
  if (!Stream.isSequential() &&
      (Ml + El + Cl) * SmallestRecord(Version) > Stream.size() - Stream.pos()) {
    R.Fail(TKffMessage::kmUnexpectedEnd);
    return false;
  }
  return WithinRecordCap(R, Part, Ml + El + Cl);
}

// After reading: the lines present are exactly the configuration line and the
// ML + EL + CL lines the descriptor announces, with something to send.
void CheckCountsMatchLines(TPartReader& R, const TCodePart& Part) {
  const qint64 Ml = Key64(Part, "ML"), El = Key64(Part, "EL"), Cl = Key64(Part, "CL");
  if (Ml < 0 || El < 0 || Cl < 0 || El + Cl < 1) {
    R.Fail(TKffMessage::kmCorrupted);
  } else if (Part.Lines.size() < 1 + Ml + El + Cl) {
    R.Fail(TKffMessage::kmUnexpectedEnd);  // the stream ended before the last record
  } else if (Part.Lines.size() != 1 + Ml + El + Cl) {
    R.Fail(TKffMessage::kmCorrupted);
  }
}

}  // namespace

void TCodePart::ReadPart(QIODevice& Stream, int& Version, QString& Error) {
  Error.clear();
  DataReversed = false;
  TPartReader R(Stream, Error);
  if (Version == -1 || Version > 2) ReadHeader(R, Version);
  if (Error.isEmpty() && Version > KffMaxVersion) R.Fail(TKffMessage::kmNotRecognised);
  const std::uint32_t Check = R.ReadLE(4, false);
  R.Sum += Check;

  const QByteArray Text = Version >= 2 ? R.ReadString(LengthWidth(Version), true)
                                       : QByteArray("Part=Main MinBFV=0 CL=-5 EL=4");
  Descriptor = KffParseCommaText(Text);
  Lines.clear();
  ReadConfigLine(R, *this, Version);

  if (Version > 2) {
    if (Error.isEmpty() && CountsPlausible(R, *this, Version, Stream))
      ReadLines(R, *this, Version, Key64(*this, "ML") + Key64(*this, "EL") + Key64(*this, "CL"));
  } else {
    while (Error.isEmpty() && WithinRecordCap(R, *this, 1)) {
      const QByteArray Message = R.ReadString(LengthWidth(Version), true);
      if (Message.isEmpty()) break;
      AddMessage(Message);
    }
    const qsizetype Before = Lines.size();
    R.Sum = Check;
    if (Version < 2) {
      ReadLines(R, *this, Version, -1);  // every record up to the end of the stream
      SetInt(QStringLiteral("CL"), static_cast<int>(Lines.size() - Before - 4));
    } else if (Error.isEmpty() && CountsPlausible(R, *this, Version, Stream)) {
      ReadLines(R, *this, Version, Key64(*this, "CL") + Key64(*this, "EL"));
    }
  }
  if (Error.isEmpty()) CheckCountsMatchLines(R, *this);
  if (Error.isEmpty() && R.Sum != 0) R.Fail(TKffMessage::kmCorrupted);
}

// ---------------------------------------------------------------- TReprogramBuffer

namespace {

void DefaultMessageHook(const QString& Message) {
  KffShowMessage(Message);
}

TKffMessageHook& MessageHook() {
  static TKffMessageHook Hook = &DefaultMessageHook;
  return Hook;
}

}  // namespace

TKffMessageHook SetKffMessageHook(TKffMessageHook Hook) {
  return std::exchange(MessageHook(), Hook ? Hook : &DefaultMessageHook);
}

TCodePart* TReprogramBuffer::PartAt(int Index) const {
  return Index >= 0 && Index < Count() ? Parts[Index].get() : nullptr;
}

int TReprogramBuffer::IndexOfPart(const QString& Name) const {
  for (int i = Count() - 1; i >= 0; --i)
    if (Parts[i]->GetValue(QStringLiteral("Part")) == Name) return i;
  return -1;
}

TCodePart* TReprogramBuffer::Add(std::unique_ptr<TCodePart> Part) {
  Parts.push_back(std::move(Part));
  return Parts.back().get();
}

void TReprogramBuffer::SetDataReversed(bool Reversed) {
  for (auto& Part : Parts) Part->SetDataReversed(Reversed);
}

void TReprogramBuffer::SetSkipData(bool Skip) {
  for (auto& Part : Parts) Part->SkipData = Skip;
}

qint64 KffRecordCount(const TCodePart& Part) {
  return Part.Lines.size() + Part.Descriptor.size();
}

void TReprogramBuffer::LoadFromStream(QIODevice& Stream, bool ShowMessages, QString& Error) {
  Error.clear();
  Parts.clear();
  int Version = -1;
  // An empty stream holds no firmware at all; it must not pass as a sound file.
  if (Stream.atEnd()) Error = KffMessageText(TKffMessage::kmUnexpectedEnd);
  if (!Stream.isSequential() && Stream.size() - Stream.pos() > KffMaxFileBytes)
    Error = KffMessageText(TKffMessage::kmCorrupted);
  qint64 Records = 0;
  while (Error.isEmpty() && !Stream.atEnd()) {
    const TCodePart* Part = Add(std::make_unique<TCodePart>());
    Parts.back()->ReadPart(Stream, Version, Error);
    Records += KffRecordCount(*Part);
    if (Error.isEmpty() && Records > KffMaxRecords)
      Error = KffMessageText(TKffMessage::kmCorrupted);
  }
  if (!Error.isEmpty() || !ShowMessages) return;
  const TCodePart* Main = PartAt(IndexOfPart(QStringLiteral("Main")));
  if (!Main) return;
  for (int i = 0;; ++i) {
    const QString Message = Main->MessageAt(i);
    if (Message.isEmpty()) break;
    MessageHook()(Message);
  }
}

void TReprogramBuffer::LoadFromStream(QIODevice& Stream, bool ShowMessages, std::string& Error) {
  QString Text;
  LoadFromStream(Stream, ShowMessages, Text);
  Error = Text.toStdString();
}
