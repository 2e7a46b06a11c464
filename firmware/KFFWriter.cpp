#include "firmware/KFFWriter.h"

#include "firmware/KFFFormat.h"

#include <QBuffer>

#include <cstdint>

namespace {

const QString MainName = QStringLiteral("Main");

class TPartWriter {
 public:
  explicit TPartWriter(int version) : V(version) {}

  QByteArray Bytes;

  void PutLE(std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i) Bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  }
  int LengthWidth() const { return V < 2 ? 1 : 2; }
  std::uint32_t MaxLength() const { return V < 2 ? 0xFF : 0xFFFF; }

  bool PutString(const QByteArray& content, bool scrambled, QString& error) {
    if (static_cast<std::uint32_t>(content.size()) > MaxLength()) {
      error = QStringLiteral("a record of %1 bytes is longer than format version %2 can store")
                  .arg(content.size())
                  .arg(V);
      return false;
    }
    PutLE(static_cast<std::uint32_t>(content.size()), LengthWidth());
    QByteArray Stored = content;
    if (scrambled) KffScramble(Stored);
    Bytes += Stored;
    Bytes += static_cast<char>(KffSum8(content));
    return true;
  }

  void PutHeader(bool scrambled) {
    QByteArray Magic(KffMagic);
    const char Sum = static_cast<char>(KffSum8(Magic));
    if (scrambled) KffScramble(Magic);
    Bytes += static_cast<char>(Magic.size());
    Bytes += Magic;
    Bytes += Sum;
    PutLE(static_cast<std::uint32_t>(V), 2);
  }

 private:
  int V;
};

std::uint32_t Sum32(const QByteArray& bytes, qsizetype from = 0) {
  std::uint32_t Sum = 0;
  for (qsizetype i = from; i < bytes.size(); ++i) Sum += static_cast<std::uint8_t>(bytes[i]);
  return Sum;
}

bool IsMain(const TCodePart& part) {
  return part.GetValue(QStringLiteral("Part")) == MainName;
}

// Checks that the part's lines can be stored in the version without loss.
bool CheckPart(const TCodePart& part, int version, bool single, QString& error) {
  const qint64 Ml = part.GetInt(QStringLiteral("ML"));
  const qint64 El = part.GetInt(QStringLiteral("EL"));
  const qint64 Cl = part.GetInt(QStringLiteral("CL"));
  if (part.Lines.isEmpty() || !part.Lines[0].startsWith('C'))
    error = QStringLiteral("line 0 must be the configuration line starting with \"C\"");
  else if (Ml < 0 || El < 0 || Cl < 0 || 1 + Ml + El + Cl != part.Lines.size())
    error = QStringLiteral("ML, EL and CL do not match the part's %1 lines").arg(part.Lines.size());
  else if (version < 2 && (!single || !IsMain(part) || El != 4))
    error = QStringLiteral("format versions 0 and 1 hold a single \"Main\" part with EL=4");
  else if (version <= 2 && !IsMain(part) && part.Lines[0] != "C")
    error = QStringLiteral(
        "format versions 0 to 2 store no configuration line for a part other "
        "than \"Main\"");
  if (!error.isEmpty() || version > 2) return error.isEmpty();
  for (qint64 i = 1; i <= Ml; ++i)
    if (part.Lines[i].isEmpty()) error = QStringLiteral("an empty message line would end the list");
  for (qint64 i = 1 + Ml; i < part.Lines.size(); ++i)
    if (part.Lines[i].size() != KffRawLineSize)
      error = QStringLiteral("line %1 is not %2 bytes long").arg(i).arg(KffRawLineSize);
  return error.isEmpty();
}

bool WritePart(const TCodePart& part, const TKffWriteOptions& options, bool first, QByteArray& out,
               QString& error) {
  const int V = options.Version;
  TPartWriter W(V);
  if (first || V > 2) W.PutHeader(options.ScrambledHeader);
  const qsizetype CheckAt = W.Bytes.size();
  W.PutLE(0, 4);

  const qint64 Ml = part.GetInt(QStringLiteral("ML"));
  bool Ok = true;
  if (V >= 2) {
    TCodePart Stored = part;
    // Older versions count the messages while reading them.
    if (V == 2) Stored.SetValue(QStringLiteral("ML"), QString());
    Ok = W.PutString(KffCommaText(Stored.Descriptor), true, error);
  }
  if (Ok && IsMain(part)) Ok = W.PutString(V < 2 ? part.ConfigBody() : part.Lines[0], true, error);
  if (Ok && !IsMain(part) && V > 2) Ok = W.PutString(part.Lines[0], true, error);

  qsizetype LinesFrom = CheckAt + 4;
  if (V > 2) {
    for (qint64 i = 1; Ok && i < part.Lines.size(); ++i)
      Ok = W.PutString(part.Lines[i], i <= Ml, error);
  } else {
    // Versions 0 to 2 end the messages with an empty record and sum the raw lines only.
    for (qint64 i = 1; Ok && i <= Ml; ++i) Ok = W.PutString(part.Lines[i], true, error);
    if (Ok) Ok = W.PutString(QByteArray(), true, error);
    LinesFrom = W.Bytes.size();
    for (qint64 i = Ml + 1; i < part.Lines.size(); ++i) W.Bytes += part.Lines[i];
  }
  if (!Ok) return false;

  const std::uint32_t Check =
      V > 2 ? Sum32(W.Bytes.left(CheckAt)) + Sum32(W.Bytes, LinesFrom) : Sum32(W.Bytes, LinesFrom);
  for (int i = 0; i < 4; ++i) W.Bytes[CheckAt + i] = static_cast<char>((Check >> (8 * i)) & 0xFF);
  out += W.Bytes;
  return true;
}

// The descriptor as the reader gives it back: versions 0 and 1 store none, version 2
// counts the messages while reading (its ML then stands last).
QStringList DescriptorAsRead(const TCodePart& part, int version) {
  if (version < 2) return {};
  TCodePart Copy = part;
  if (version == 2) Copy.SetValue(QStringLiteral("ML"), QString());
  return Copy.Descriptor;
}

bool ReadsBackAsWritten(const TReprogramBuffer& written, const TReprogramBuffer& read,
                        int version) {
  if (written.Count() != read.Count()) return false;
  for (int i = 0; i < written.Count(); ++i) {
    const TCodePart& W = *written.PartAt(i);
    const TCodePart& R = *read.PartAt(i);
    if (W.Lines != R.Lines || DescriptorAsRead(W, version) != DescriptorAsRead(R, version))
      return false;
  }
  return true;
}

// One validation for both directions: what the reader refuses (or reads as something
// else) is not written.
bool ReaderTakes(const QByteArray& image, const TReprogramBuffer& buffer, int version,
                 QString& error) {
  QBuffer Stream;
  Stream.setData(image);
  Stream.open(QIODevice::ReadOnly);
  TReprogramBuffer Read;
  Read.LoadFromStream(Stream, false, error);
  if (error.isEmpty() && !ReadsBackAsWritten(buffer, Read, version))
    error = QStringLiteral("the file would not read back as the parts it was made from");
  return error.isEmpty();
}

}  // namespace

bool WriteKffFile(const TReprogramBuffer& buffer, const TKffWriteOptions& options, QByteArray& out,
                  QString& error) {
  out.clear();
  error.clear();
  if (options.Version < 0 || options.Version > KffMaxVersion)
    error = QStringLiteral("format version %1 is not between 0 and %2")
                .arg(options.Version)
                .arg(KffMaxVersion);
  else if (buffer.Count() == 0)
    error = QStringLiteral("a file needs at least one part");
  for (int i = 0; error.isEmpty() && i < buffer.Count(); ++i) {
    const TCodePart& Part = *buffer.PartAt(i);
    if (CheckPart(Part, options.Version, buffer.Count() == 1, error))
      WritePart(Part, options, i == 0, out, error);
    if (!error.isEmpty()) error = QStringLiteral("part %1: %2").arg(i + 1).arg(error);
  }
  if (error.isEmpty()) ReaderTakes(out, buffer, options.Version, error);
  if (!error.isEmpty()) out.clear();
  return error.isEmpty();
}
