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

bool ParseHex(const QByteArray& digits, QByteArray& out) {
  if (digits.size() % 2 != 0) return false;
  for (qsizetype i = 0; i < digits.size(); i += 2) {
    const int High = HexDigit(digits[i]);
    const int Low = HexDigit(digits[i + 1]);
    if (High < 0 || Low < 0) return false;
    out += static_cast<char>(High * 16 + Low);
  }
  return true;
}

bool ParseQuoted(const QByteArray& text, QByteArray& out) {
  if (text.size() < 2 || !text.endsWith('"')) return false;
  for (qsizetype i = 1; i < text.size() - 1; ++i) {
    const char c = text[i];
    if (c == '"') return false;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i >= text.size() - 1) return false;
    switch (text[i]) {
      case '\\':
        out += '\\';
        break;
      case '"':
        out += '"';
        break;
      case 'r':
        out += '\r';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'x':
        if (i + 2 >= text.size() - 1 || !ParseHex(text.mid(i + 1, 2), out)) return false;
        i += 2;
        break;
      default:
        return false;
    }
  }
  return true;
}

bool ParseBytes(const QByteArray& text, QByteArray& out) {
  if (text.startsWith("hex:")) return ParseHex(text.mid(4), out);
  if (text.startsWith('"')) return ParseQuoted(text, out);
  out = text;
  return true;
}

// The lines of one part as they are described, before they are put in order.
struct TPartDraft {
  TCodePart* Part = nullptr;
  QList<QByteArray> Messages, Data, Code;
};

void Finish(TPartDraft& draft) {
  if (!draft.Part) return;
  TCodePart& P = *draft.Part;
  P.Lines.resize(1);
  P.Lines << draft.Messages << draft.Data << draft.Code;
  P.SetInt(QStringLiteral("ML"), static_cast<int>(draft.Messages.size()));
  P.SetInt(QStringLiteral("EL"), static_cast<int>(draft.Data.size()));
  P.SetInt(QStringLiteral("CL"), static_cast<int>(draft.Code.size()));
  draft = TPartDraft();
}

bool Statement(const QByteArray& word, const QByteArray& bytes, bool hasVersion,
               TReprogramBuffer& buffer, TPartDraft& draft, int& version, QString& error) {
  if (word == "version") {
    bool Ok = false;
    version = bytes.toInt(&Ok);
    if (hasVersion || !Ok || version < 0 || version > KffMaxVersion)
      error = QStringLiteral("\"version\" must come once, first, with a value from 0 to %1")
                  .arg(KffMaxVersion);
    return error.isEmpty();
  }
  if (!hasVersion) {
    error = QStringLiteral("\"version\" must come first");
    return false;
  }
  if (word == "part") {
    Finish(draft);
    draft.Part = buffer.Add(std::make_unique<TCodePart>(QString::fromLatin1(bytes)));
    return true;
  }
  if (!draft.Part) {
    error = QStringLiteral("\"%1\" outside a part").arg(QString::fromLatin1(word));
    return false;
  }
  if (word == "key")
    draft.Part->Descriptor << QString::fromLatin1(bytes);
  else if (word == "config")
    draft.Part->Lines[0] = "C" + bytes;
  else if (word == "message")
    draft.Messages << bytes;
  else if (word == "data")
    draft.Data << bytes;
  else if (word == "code")
    draft.Code << bytes;
  else
    error = QStringLiteral("unknown statement \"%1\"").arg(QString::fromLatin1(word));
  return error.isEmpty();
}

}  // namespace

bool ParseKffDescription(const QByteArray& text, TReprogramBuffer& buffer, int& version,
                         QString& error) {
  buffer.Clear();
  error.clear();
  version = -1;
  TPartDraft Draft;
  const QList<QByteArray> Lines = text.split('\n');
  for (qsizetype n = 0; n < Lines.size(); ++n) {
    const QByteArray Line = Lines[n].trimmed();
    if (Line.isEmpty() || Line.startsWith('#')) continue;
    const qsizetype Blank = Line.indexOf(' ');
    const QByteArray Word = Blank < 0 ? Line : Line.left(Blank);
    QByteArray Bytes;
    if (!ParseBytes(Blank < 0 ? QByteArray() : Line.mid(Blank + 1).trimmed(), Bytes))
      error = QStringLiteral("bad bytes");
    else
      Statement(Word, Bytes, version >= 0, buffer, Draft, version, error);
    if (!error.isEmpty()) {
      error = QStringLiteral("line %1: %2").arg(n + 1).arg(error);
      buffer.Clear();
      return false;
    }
  }
  Finish(Draft);
  if (version < 0 || buffer.Count() == 0) error = QStringLiteral("no version or no part");
  return error.isEmpty();
}

QByteArray QuoteKffBytes(const QByteArray& bytes) {
  QByteArray Out("\"");
  for (char c : bytes) {
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
QByteArray DescribeBytes(const QByteArray& bytes) {
  const auto Printable = std::count_if(bytes.begin(), bytes.end(), [](char c) {
    return static_cast<unsigned char>(c) >= 32 && static_cast<unsigned char>(c) < 127;
  });
  if (bytes.isEmpty() || Printable * 4 >= bytes.size() * 3) return QuoteKffBytes(bytes);
  return "hex:" + bytes.toHex().toUpper();
}

}  // namespace

QByteArray DescribeKff(const TReprogramBuffer& buffer, int version) {
  QByteArray Out = "version " + QByteArray::number(version) + '\n';
  for (int i = 0; i < buffer.Count(); ++i) {
    const TCodePart& P = *buffer.PartAt(i);
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
