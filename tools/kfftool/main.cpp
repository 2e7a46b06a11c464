// kfftool: looks into, makes and takes apart firmware files.
//   kfftool info FILE
//   kfftool pack DESCRIPTION OUT
//   kfftool unpack FILE DIR
#include "firmware/KFFDescription.h"
#include "firmware/KFFFiles.h"
#include "firmware/KFFMessages.h"
#include "firmware/KFFWriter.h"
#include "support/HardcodedStrings.h"
#include "support/ProgramVersion.h"
#include "support/SafeFiles.h"
#include "support/Tools.h"

#include <QBuffer>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

// Exit statuses: 4 for bad usage, as in the other programs of the package.
enum TExit { exOk = 0, exBadFile = 1, exUsage = 4 };

void Print(std::FILE* Out, const QString& Text) {
  std::fputs(Text.toLocal8Bit().constData(), Out);
  std::fputc('\n', Out);
}

int Fail(const QString& Text) {
  Print(stderr, QStringLiteral("kfftool: ") + Text);
  return exBadFile;
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

std::string UsageText();

// The commands, each declared once: the parser and --help are made from this table,
// and a test holds the man page against --help.
struct TCommand {
  const char* Name;
  const char* Arguments;  // their names, one word each
  const char* Help;
  int (*Run)(const QStringList& Arguments);
};

const TCommand Commands[] = {
    {"info", "FILE", "parts, keys, line counts, messages, checksums",
     [](const QStringList& A) { return Info(A[0]); }},
    {"pack", "DESCRIPTION OUT", "a firmware file from a plain-text description",
     [](const QStringList& A) { return Pack(A[0], A[1]); }},
    {"unpack", "FILE DIR", "the file described in plain text, into DIR",
     [](const QStringList& A) { return Unpack(A[0], A[1]); }},
    {"--help", "", "this text",
     [](const QStringList&) {
       std::fputs(UsageText().c_str(), stdout);
       return static_cast<int>(exOk);
     }},
    {"--version", "", "the program's and the interface image's version",
     [](const QStringList&) {
       std::fputs(VersionText("kfftool").c_str(), stdout);
       return static_cast<int>(exOk);
     }},
};

std::string UsageText() {
  std::string Text = "Usage: kfftool COMMAND ARGUMENTS\n";
  for (const TCommand& C : Commands) {
    std::string Head = std::string("  kfftool ") + C.Name + (*C.Arguments ? " " : "") + C.Arguments;
    Head.resize(std::max<size_t>(Head.size() + 2, 33), ' ');
    Text += Head + C.Help + "\n";
  }
  return Text +
         "Exit status: 0 done; 1 a file could not be read, written or understood;\n"
         "4 bad usage.\n";
}

int ArgumentCount(const TCommand& C) {
  const QString Names = QString::fromLatin1(C.Arguments);
  return Names.isEmpty() ? 0 : static_cast<int>(Names.count(u' ')) + 1;
}

// Finds the command and checks its arguments: a missing, extra or empty one is bad
// usage (one line on standard error, then "Try --help.").
int Dispatch(const QStringList& Args) {
  QString Error;
  const TCommand* Found = nullptr;
  for (const TCommand& C : Commands)
    if (!Args.isEmpty() && Args[0] == QLatin1String(C.Name)) Found = &C;
  if (Args.isEmpty())
    Error = QStringLiteral("a command is needed");
  else if (!Found)
    Error = QStringLiteral("unknown command: ") + Args[0];
  else if (Args.size() - 1 != ArgumentCount(*Found))
    Error = *Found->Arguments
                ? QStringLiteral("%1 takes %2").arg(Args[0], QString::fromLatin1(Found->Arguments))
                : Args[0] + QStringLiteral(" takes no arguments");
  else if (Args.mid(1).contains(QString()))
    Error = QStringLiteral("%1: an empty argument").arg(Args[0]);
  if (Error.isEmpty()) return Found->Run(Args.mid(1));
  Print(stderr, QStringLiteral("kfftool: ") + Error + QStringLiteral("\nTry --help."));
  return exUsage;
}

}  // namespace

int main(int argc, char** argv) {
  StartUnitStrings();
  StartUnitKFFFiles();
  QStringList Args;
  for (int i = 1; i < argc; ++i) Args << QString::fromLocal8Bit(argv[i]);
  int Result = Dispatch(Args);
  StopUnitKFFFiles();
  StopUnitStrings();
  // What could not be written is a failure, whatever the command's own result.
  if (!OutputWritten(stdout, "kfftool", "standard output", stderr)) Result = exBadFile;
  return Result;
}
