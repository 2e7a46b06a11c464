#include "firmware/KFFDescription.h"

#include <QList>

#include <algorithm>

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(const QByteArray& Digits, QByteArray& Out) {
  if (Digits.size() % 2 != 0) return false;
  for (qsizetype i = 0; i < Digits.size(); i += 2) {
    const int High = HexDigit(Digits[i]);
    const int Low = HexDigit(Digits[i + 1]);
    if (High < 0 || Low < 0) return false;
    Out += static_cast<char>(High * 16 + Low);
  }
  return true;
}

bool ParseQuoted(const QByteArray& Text, QByteArray& Out) {
  if (Text.size() < 2 || !Text.endsWith('"')) return false;
  for (qsizetype i = 1; i < Text.size() - 1; ++i) {
    const char c = Text[i];
    if (c == '"') return false;
    if (c != '\\') {
      Out += c;
      continue;
    }
    if (++i >= Text.size() - 1) return false;
    switch (Text[i]) {
      case '\\':
        Out += '\\';
        break;
      case '"':
        Out += '"';
        break;
      case 'r':
        Out += '\r';
        break;
      case 'n':
        Out += '\n';
        break;
      case 't':
        Out += '\t';
        break;
      case 'x':
        if (i + 2 >= Text.size() - 1 || !ParseHex(Text.mid(i + 1, 2), Out)) return false;
        i += 2;
        break;
      default:
        return false;
    }
  }
  return true;
}

bool ParseBytes(const QByteArray& Text, QByteArray& Out) {
  if (Text.startsWith("hex:")) return ParseHex(Text.mid(4), Out);
  if (Text.startsWith('"')) return ParseQuoted(Text, Out);
  Out = Text;
  return true;
}

// The lines of one part as they are described, before they are put in order.
struct TPartDraft {
  TCodePart* Part = nullptr;
  QList<QByteArray> Messages, Data, Code;
};

void Finish(TPartDraft& Draft) {
  if (!Draft.Part) return;
  TCodePart& P = *Draft.Part;
  P.Lines.resize(1);
  P.Lines << Draft.Messages << Draft.Data << Draft.Code;
  P.SetInt(QStringLiteral("ML"), static_cast<int>(Draft.Messages.size()));
  P.SetInt(QStringLiteral("EL"), static_cast<int>(Draft.Data.size()));
  P.SetInt(QStringLiteral("CL"), static_cast<int>(Draft.Code.size()));
  Draft = TPartDraft();
}

bool Statement(const QByteArray& Word, const QByteArray& Bytes, bool HasVersion,
               TReprogramBuffer& Buffer, TPartDraft& Draft, int& Version, QString& Error) {
  if (Word == "version") {
    bool Ok = false;
    Version = Bytes.toInt(&Ok);
    if (HasVersion || !Ok || Version < 0 || Version > KffMaxVersion)
      Error = QStringLiteral("\"version\" must come once, first, with a value from 0 to %1")
                  .arg(KffMaxVersion);
    return Error.isEmpty();
  }
  if (!HasVersion) {
    Error = QStringLiteral("\"version\" must come first");
    return false;
  }
  if (Word == "part") {
    Finish(Draft);
    Draft.Part = Buffer.Add(std::make_unique<TCodePart>(QString::fromLatin1(Bytes)));
    return true;
  }
  if (!Draft.Part) {
    Error = QStringLiteral("\"%1\" outside a part").arg(QString::fromLatin1(Word));
    return false;
  }
  if (Word == "key")
    Draft.Part->Descriptor << QString::fromLatin1(Bytes);
  else if (Word == "config")
    Draft.Part->Lines[0] = "C" + Bytes;
  else if (Word == "message")
    Draft.Messages << Bytes;
  else if (Word == "data")
    Draft.Data << Bytes;
  else if (Word == "code")
    Draft.Code << Bytes;
  else
    Error = QStringLiteral("unknown statement \"%1\"").arg(QString::fromLatin1(Word));
  return Error.isEmpty();
}

}  // namespace

bool ParseKffDescription(const QByteArray& Text, TReprogramBuffer& Buffer, int& Version,
                         QString& Error) {
  Buffer.Clear();
  Error.clear();
  Version = -1;
  TPartDraft Draft;
  const QList<QByteArray> Lines = Text.split('\n');
  for (qsizetype n = 0; n < Lines.size(); ++n) {
    const QByteArray Line = Lines[n].trimmed();
    if (Line.isEmpty() || Line.startsWith('#')) continue;
    const qsizetype Blank = Line.indexOf(' ');
    const QByteArray Word = Blank < 0 ? Line : Line.left(Blank);
    QByteArray Bytes;
    if (!ParseBytes(Blank < 0 ? QByteArray() : Line.mid(Blank + 1).trimmed(), Bytes))
      Error = QStringLiteral("bad bytes");
    else
      Statement(Word, Bytes, Version >= 0, Buffer, Draft, Version, Error);
    if (!Error.isEmpty()) {
      Error = QStringLiteral("line %1: %2").arg(n + 1).arg(Error);
      Buffer.Clear();
      return false;
    }
  }
  Finish(Draft);
  if (Version < 0 || Buffer.Count() == 0) Error = QStringLiteral("no version or no part");
  return Error.isEmpty();
}

QByteArray QuoteKffBytes(const QByteArray& Bytes) {
  QByteArray Out("\"");
  for (char c : Bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\' || c == '"')
      Out += QByteArray("\\") + c;
    else if (u >= 32 && u < 127)
      Out += c;
    else
      Out += "\\x" + QByteArray::number(u, 16).rightJustified(2, '0');
  }
  return Out + '"';
}

namespace {

// Text-like bytes are easier to read quoted, binary ones as hexadecimal.
QByteArray DescribeBytes(const QByteArray& Bytes) {
  const auto Printable = std::count_if(Bytes.begin(), Bytes.end(), [](char c) {
    return static_cast<unsigned char>(c) >= 32 && static_cast<unsigned char>(c) < 127;
  });
  if (Bytes.isEmpty() || Printable * 4 >= Bytes.size() * 3) return QuoteKffBytes(Bytes);
  return "hex:" + Bytes.toHex().toUpper();
}

}  // namespace

QByteArray DescribeKff(const TReprogramBuffer& Buffer, int Version) {
  QByteArray Out = "version " + QByteArray::number(Version) + '\n';
  for (int i = 0; i < Buffer.Count(); ++i) {
    const TCodePart& P = *Buffer.PartAt(i);
    Out += "\npart\n";
    for (const QString& Entry : P.Descriptor)
      Out += "key " + QuoteKffBytes(Entry.toLatin1()) + '\n';
    Out += "config " + DescribeBytes(P.ConfigBody()) + '\n';
    const qsizetype Data = qsizetype(P.PayloadStart()) + P.GetInt(QStringLiteral("EL"));
    for (qsizetype n = 1; n < P.Lines.size(); ++n) {
      const char* Word = n < P.PayloadStart() ? "message " : n < Data ? "data " : "code ";
      Out += Word + DescribeBytes(P.Lines[n]) + '\n';
    }
  }
  return Out;
}
