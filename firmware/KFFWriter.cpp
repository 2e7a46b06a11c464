#include "firmware/KFFWriter.h"

#include "firmware/KFFFormat.h"

#include <QBuffer>

#include <cstdint>

namespace {

const QString MainName = QStringLiteral("Main");

class TPartWriter {
 public:
  explicit TPartWriter(int Version) : V(Version) {}

  QByteArray Bytes;

  void PutLE(std::uint32_t Value, int Width) {
    for (int i = 0; i < Width; ++i) Bytes += static_cast<char>((Value >> (8 * i)) & 0xFF);
  }
  int LengthWidth() const { return V < 2 ? 1 : 2; }
  std::uint32_t MaxLength() const { return V < 2 ? 0xFF : 0xFFFF; }

  bool PutString(const QByteArray& Content, bool Scrambled, QString& Error) {
    if (static_cast<std::uint32_t>(Content.size()) > MaxLength()) {
      Error = QStringLiteral("a record of %1 bytes is longer than format version %2 can store")
                  .arg(Content.size())
                  .arg(V);
      return false;
    }
    PutLE(static_cast<std::uint32_t>(Content.size()), LengthWidth());
    QByteArray Stored = Content;
    if (Scrambled) KffScramble(Stored);
    Bytes += Stored;
    Bytes += static_cast<char>(KffSum8(Content));
    return true;
  }

  void PutHeader(bool Scrambled) {
    QByteArray Magic(KffMagic);
    const char Sum = static_cast<char>(KffSum8(Magic));
    if (Scrambled) KffScramble(Magic);
    Bytes += static_cast<char>(Magic.size());
    Bytes += Magic;
    Bytes += Sum;
    PutLE(static_cast<std::uint32_t>(V), 2);
  }

 private:
  int V;
};

std::uint32_t Sum32(const QByteArray& Bytes, qsizetype From = 0) {
  std::uint32_t Sum = 0;
  for (qsizetype i = From; i < Bytes.size(); ++i) Sum += static_cast<std::uint8_t>(Bytes[i]);
  return Sum;
}

bool IsMain(const TCodePart& Part) {
  return Part.GetValue(QStringLiteral("Part")) == MainName;
}

// Checks that the part's lines can be stored in the version without loss.
bool CheckPart(const TCodePart& Part, int Version, bool Single, QString& Error) {
  const qint64 Ml = Part.GetInt(QStringLiteral("ML"));
  const qint64 El = Part.GetInt(QStringLiteral("EL"));
  const qint64 Cl = Part.GetInt(QStringLiteral("CL"));
  if (Part.Lines.isEmpty() || !Part.Lines[0].startsWith('C'))
    Error = QStringLiteral("line 0 must be the configuration line starting with \"C\"");
  else if (Ml < 0 || El < 0 || Cl < 0 || 1 + Ml + El + Cl != Part.Lines.size())
    Error = QStringLiteral("ML, EL and CL do not match the part's %1 lines").arg(Part.Lines.size());
  else if (Version < 2 && (!Single || !IsMain(Part) || El != 4))
    Error = QStringLiteral("format versions 0 and 1 hold a single \"Main\" part with EL=4");
  else if (Version <= 2 && !IsMain(Part) && Part.Lines[0] != "C")
    Error = QStringLiteral(
        "format versions 0 to 2 store no configuration line for a part other "
        "than \"Main\"");
  if (!Error.isEmpty() || Version > 2) return Error.isEmpty();
  for (qint64 i = 1; i <= Ml; ++i)
    if (Part.Lines[i].isEmpty()) Error = QStringLiteral("an empty message line would end the list");
  for (qint64 i = 1 + Ml; i < Part.Lines.size(); ++i)
    if (Part.Lines[i].size() != KffRawLineSize)
      Error = QStringLiteral("line %1 is not %2 bytes long").arg(i).arg(KffRawLineSize);
  return Error.isEmpty();
}

bool WritePart(const TCodePart& Part, const TKffWriteOptions& Options, bool First, QByteArray& Out,
               QString& Error) {
  const int V = Options.Version;
  TPartWriter W(V);
  if (First || V > 2) W.PutHeader(Options.ScrambledHeader);
  const qsizetype CheckAt = W.Bytes.size();
  W.PutLE(0, 4);

  const qint64 Ml = Part.GetInt(QStringLiteral("ML"));
  bool Ok = true;
  if (V >= 2) {
    TCodePart Stored = Part;
    // Older versions count the messages while reading them.
    if (V == 2) Stored.SetValue(QStringLiteral("ML"), QString());
    Ok = W.PutString(KffCommaText(Stored.Descriptor), true, Error);
  }
  if (Ok && IsMain(Part)) Ok = W.PutString(V < 2 ? Part.ConfigBody() : Part.Lines[0], true, Error);
  if (Ok && !IsMain(Part) && V > 2) Ok = W.PutString(Part.Lines[0], true, Error);

  qsizetype LinesFrom = CheckAt + 4;
  if (V > 2) {
    for (qint64 i = 1; Ok && i < Part.Lines.size(); ++i)
      Ok = W.PutString(Part.Lines[i], i <= Ml, Error);
  } else {
    // Versions 0 to 2 end the messages with an empty record and sum the raw lines only.
    for (qint64 i = 1; Ok && i <= Ml; ++i) Ok = W.PutString(Part.Lines[i], true, Error);
    if (Ok) Ok = W.PutString(QByteArray(), true, Error);
    LinesFrom = W.Bytes.size();
    for (qint64 i = Ml + 1; i < Part.Lines.size(); ++i) W.Bytes += Part.Lines[i];
  }
  if (!Ok) return false;

  const std::uint32_t Check =
      V > 2 ? Sum32(W.Bytes.left(CheckAt)) + Sum32(W.Bytes, LinesFrom) : Sum32(W.Bytes, LinesFrom);
  for (int i = 0; i < 4; ++i) W.Bytes[CheckAt + i] = static_cast<char>((Check >> (8 * i)) & 0xFF);
  Out += W.Bytes;
  return true;
}

// The descriptor as the reader gives it back: versions 0 and 1 store none, version 2
// counts the messages while reading (its ML then stands last).
QStringList DescriptorAsRead(const TCodePart& Part, int Version) {
  if (Version < 2) return {};
  TCodePart Copy = Part;
  if (Version == 2) Copy.SetValue(QStringLiteral("ML"), QString());
  return Copy.Descriptor;
}

bool ReadsBackAsWritten(const TReprogramBuffer& Written, const TReprogramBuffer& Read,
                        int Version) {
  if (Written.Count() != Read.Count()) return false;
  for (int i = 0; i < Written.Count(); ++i) {
    const TCodePart& W = *Written.PartAt(i);
    const TCodePart& R = *Read.PartAt(i);
    if (W.Lines != R.Lines || DescriptorAsRead(W, Version) != DescriptorAsRead(R, Version))
      return false;
  }
  return true;
}

// One validation for both directions: what the reader refuses (or reads as something
// else) is not written.
bool ReaderTakes(const QByteArray& Image, const TReprogramBuffer& Buffer, int Version,
                 QString& Error) {
  QBuffer Stream;
  Stream.setData(Image);
  Stream.open(QIODevice::ReadOnly);
  TReprogramBuffer Read;
  Read.LoadFromStream(Stream, false, Error);
  if (Error.isEmpty() && !ReadsBackAsWritten(Buffer, Read, Version))
    Error = QStringLiteral("the file would not read back as the parts it was made from");
  return Error.isEmpty();
}

}  // namespace

bool WriteKffFile(const TReprogramBuffer& Buffer, const TKffWriteOptions& Options, QByteArray& Out,
                  QString& Error) {
  Out.clear();
  Error.clear();
  if (Options.Version < 0 || Options.Version > KffMaxVersion)
    Error = QStringLiteral("format version %1 is not between 0 and %2")
                .arg(Options.Version)
                .arg(KffMaxVersion);
  else if (Buffer.Count() == 0)
    Error = QStringLiteral("a file needs at least one part");
  for (int i = 0; Error.isEmpty() && i < Buffer.Count(); ++i) {
    const TCodePart& Part = *Buffer.PartAt(i);
    if (CheckPart(Part, Options.Version, Buffer.Count() == 1, Error))
      WritePart(Part, Options, i == 0, Out, Error);
    if (!Error.isEmpty()) Error = QStringLiteral("part %1: %2").arg(i + 1).arg(Error);
  }
  if (Error.isEmpty()) ReaderTakes(Out, Buffer, Options.Version, Error);
  if (!Error.isEmpty()) Out.clear();
  return Error.isEmpty();
}
