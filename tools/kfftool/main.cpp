// kfftool: looks into, makes and takes apart firmware files.
//   kfftool info FILE
//   kfftool pack DESCRIPTION OUT
//   kfftool unpack FILE DIR
#include "firmware/KFFDescription.h"
#include "firmware/KFFFiles.h"
#include "firmware/KFFWriter.h"
#include "support/HardcodedStrings.h"
#include "support/ProgramVersion.h"
#include "support/SafeFiles.h"
#include "support/Tools.h"

#include <QBuffer>
#include <QDir>
#include <QFile>

#include <cstdio>

namespace {

enum TExit { exOk = 0, exBadFile = 1, exUsage = 2 };

void Print(std::FILE* Out, const QString& Text) {
  std::fputs(Text.toLocal8Bit().constData(), Out);
  std::fputc('\n', Out);
}

int Fail(const QString& Text) {
  Print(stderr, QStringLiteral("kfftool: ") + Text);
  return exBadFile;
}

int Usage() {
  Print(stderr, QStringLiteral("usage: kfftool info FILE\n"
                               "       kfftool pack DESCRIPTION OUT\n"
                               "       kfftool unpack FILE DIR"));
  return exUsage;
}

// A path that is not a regular file (a FIFO, device or folder) is bad usage, as
// for the console: it could wait for good or never end.
constexpr int exNotAFile = 4;

// Reads a whole input file; a file larger than any firmware file is refused
// before it is read. Returns exOk or the exit status, with the message printed.
int ReadFile(const QString& Name, QByteArray& Bytes) {
  QFile F;
  std::string Error;
  if (IsSpecialFile(Name)) {
    Fail(QStringLiteral("cannot read %1: not a regular file (a FIFO, device or folder)").arg(Name));
    return exNotAFile;
  }
  if (!OpenRegularFile(Name, F, Error, KffMaxFileBytes))
    return Fail(QStringLiteral("cannot read %1: %2").arg(Name, QString::fromStdString(Error)));
  Bytes = F.readAll();
  if (F.error() != QFileDevice::NoError)
    return Fail(QStringLiteral("cannot read %1: %2").arg(Name, F.errorString()));
  return exOk;
}

int WriteFile(const QString& Name, const QByteArray& Bytes) {
  std::string Error;
  if (ReplaceFileContents(Name, Bytes, Error)) return exOk;
  Fail(QStringLiteral("cannot write %1: %2").arg(Name, QString::fromStdString(Error)));
  return IsSpecialFile(Name) ? exNotAFile : exBadFile;
}

// Reads the parts one by one (as LoadFromStream does) to learn the format version.
QString Load(const QByteArray& Bytes, TReprogramBuffer& Parts, int& Version) {
  QBuffer Stream;
  Stream.setData(Bytes);
  Stream.open(QIODevice::ReadOnly);
  QString Error;
  Parts.LoadFromStream(Stream, false, Error);
  Stream.seek(0);
  Version = -1;
  QString Ignored;
  if (!Stream.atEnd()) TCodePart().ReadPart(Stream, Version, Ignored);
  return Error;
}

QString Printable(const QByteArray& Bytes) {
  return QString::fromLatin1(QuoteKffBytes(Bytes));
}

// Descriptor text from the file, its control characters escaped for the terminal.
QString Shown(const QString& Text) {
  return QString::fromStdString(EscapeControls(Text.toStdString()));
}

void DescribePart(const TCodePart& P, int Index) {
  const int Ml = P.GetInt(QStringLiteral("ML"));
  Print(stdout, QStringLiteral("part %1 \"%2\": %3 lines (%4 messages, %5 data, %6 code), "
                               "configuration %7 bytes")
                    .arg(Index + 1)
                    .arg(P.GetValue(QStringLiteral("Part")) == KffAbsentMarker
                             ? QString()
                             : Shown(P.GetValue(QStringLiteral("Part"))))
                    .arg(P.Lines.size())
                    .arg(Ml)
                    .arg(P.GetInt(QStringLiteral("EL")))
                    .arg(P.GetInt(QStringLiteral("CL")))
                    .arg(P.ConfigBody().size()));
  for (const QString& Entry : P.Descriptor) Print(stdout, QStringLiteral("  key ") + Shown(Entry));
  // A damaged file's ML may promise more messages than the part holds.
  for (int i = 0; i < Ml && 1 + i < P.Lines.size(); ++i)
    Print(stdout,
          QStringLiteral("  message %1: %2").arg(i + 1).arg(Printable(P.Lines.value(1 + i))));
}

int Info(const QString& File) {
  QByteArray Bytes;
  if (const int Status = ReadFile(File, Bytes); Status != exOk) return Status;
  TReprogramBuffer Parts;
  int Version = -1;
  const QString Error = Load(Bytes, Parts, Version);
  Print(stdout, QStringLiteral("%1: %2 bytes, format version %3, %4 part(s)")
                    .arg(File)
                    .arg(Bytes.size())
                    .arg(Version)
                    .arg(Parts.Count()));
  for (int i = 0; i < Parts.Count(); ++i) DescribePart(*Parts.PartAt(i), i);
  if (!Error.isEmpty()) {
    Print(stdout, QStringLiteral("checksums: failed: ") + QString(Error).replace(u'\n', u' '));
    return exBadFile;
  }
  Print(stdout, QStringLiteral("checksums: OK"));
  return exOk;
}

int Pack(const QString& Description, const QString& OutName) {
  QByteArray Text;
  if (const int Status = ReadFile(Description, Text); Status != exOk) return Status;
  TReprogramBuffer Parts;
  TKffWriteOptions Options;
  QString Error;
  if (!ParseKffDescription(Text, Parts, Options.Version, Error))
    return Fail(Description + QStringLiteral(": ") + Error);
  QByteArray Image;
  if (!WriteKffFile(Parts, Options, Image, Error)) return Fail(Error);
  if (const int Status = WriteFile(OutName, Image); Status != exOk) return Status;
  Print(
      stdout,
      QStringLiteral("%1: %2 bytes, %3 part(s)").arg(OutName).arg(Image.size()).arg(Parts.Count()));
  return exOk;
}

int Unpack(const QString& File, const QString& DirName) {
  QByteArray Bytes;
  if (const int Status = ReadFile(File, Bytes); Status != exOk) return Status;
  TReprogramBuffer Parts;
  int Version = -1;
  const QString Error = Load(Bytes, Parts, Version);
  if (!Error.isEmpty())
    return Fail(File + QStringLiteral(": ") + QString(Error).replace(u'\n', u' '));
  if (!QDir().mkpath(DirName)) return Fail(QStringLiteral("cannot create ") + DirName);
  const QString OutName = QDir(DirName).filePath(QStringLiteral("description.txt"));
  if (const int Status = WriteFile(OutName, DescribeKff(Parts, Version)); Status != exOk)
    return Status;
  Print(stdout, OutName);
  return exOk;
}

}  // namespace

int main(int argc, char** argv) {
  StartUnitStrings();
  StartUnitKFFFiles();
  QStringList Args;
  for (int i = 1; i < argc; ++i) Args << QString::fromLocal8Bit(argv[i]);
  int Result = exUsage;
  if (Args.size() == 1 && Args[0] == QLatin1String("--version")) {
    std::fputs(VersionText("kfftool").c_str(), stdout);
    Result = exOk;
  } else if (Args.size() == 1 && Args[0] == QLatin1String("--help")) {
    Print(stdout, QStringLiteral("usage: kfftool info FILE\n"
                                 "       kfftool pack DESCRIPTION OUT\n"
                                 "       kfftool unpack FILE DIR\n"
                                 "       kfftool --version"));
    Result = exOk;
  } else if (Args.size() == 2 && Args[0] == QLatin1String("info"))
    Result = Info(Args[1]);
  else if (Args.size() == 3 && Args[0] == QLatin1String("pack"))
    Result = Pack(Args[1], Args[2]);
  else if (Args.size() == 3 && Args[0] == QLatin1String("unpack"))
    Result = Unpack(Args[1], Args[2]);
  else
    Usage();
  StopUnitKFFFiles();
  StopUnitStrings();
  // What could not be written is a failure, whatever the command's own result.
  if (!OutputWritten(stdout, "kfftool", "standard output", stderr)) Result = exBadFile;
  return Result;
}
