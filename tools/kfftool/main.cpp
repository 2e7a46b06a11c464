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

void Print(std::FILE* out, const QString& text) {
  std::fputs(text.toLocal8Bit().constData(), out);
  std::fputc('\n', out);
}

int Fail(const QString& text) {
  Print(stderr, QStringLiteral("kfftool: ") + text);
  return exBadFile;
}

// A path that is not a regular file (a FIFO, device or folder) is bad usage, as
// for the console: it could wait for good or never end.
constexpr int exNotAFile = 4;

// Reads a whole input file; a file larger than any firmware file is refused
// before it is read. Returns exOk or the exit status, with the message printed.
int ReadFile(const QString& name, QByteArray& bytes) {
  QFile F;
  std::string Error;
  if (IsSpecialFile(name)) {
    Fail(QStringLiteral("cannot read %1: not a regular file (a FIFO, device or folder)").arg(name));
    return exNotAFile;
  }
  if (!OpenRegularFile(name, F, Error, KffMaxFileBytes))
    return Fail(QStringLiteral("cannot read %1: %2").arg(name, QString::fromStdString(Error)));
  bytes = F.readAll();
  if (F.error() != QFileDevice::NoError)
    return Fail(QStringLiteral("cannot read %1: %2").arg(name, F.errorString()));
  return exOk;
}

int WriteFile(const QString& name, const QByteArray& bytes) {
  std::string Error;
  if (ReplaceFileContents(name, bytes, Error)) return exOk;
  Fail(QStringLiteral("cannot write %1: %2").arg(name, QString::fromStdString(Error)));
  return IsSpecialFile(name) ? exNotAFile : exBadFile;
}

// Reads the parts one by one (as LoadFromStream does) to learn the format version.
QString Load(const QByteArray& bytes, TReprogramBuffer& parts, int& version) {
  QBuffer Stream;
  Stream.setData(bytes);
  Stream.open(QIODevice::ReadOnly);
  QString Error;
  parts.LoadFromStream(Stream, false, Error);
  Stream.seek(0);
  version = -1;
  QString Ignored;
  if (!Stream.atEnd()) TCodePart().ReadPart(Stream, version, Ignored);
  return Error;
}

QString Printable(const QByteArray& bytes) {
  return QString::fromLatin1(QuoteKffBytes(bytes));
}

// Descriptor text from the file, its control characters escaped for the terminal.
QString Shown(const QString& text) {
  return QString::fromStdString(EscapeControls(text.toStdString()));
}

void DescribePart(const TCodePart& p, int index) {
  const int Ml = p.GetInt(QStringLiteral("ML"));
  Print(stdout, QStringLiteral("part %1 \"%2\": %3 lines (%4 messages, %5 data, %6 code), "
                               "configuration %7 bytes")
                    .arg(index + 1)
                    .arg(p.GetValue(QStringLiteral("Part")) == KffAbsentMarker
                             ? QString()
                             : Shown(p.GetValue(QStringLiteral("Part"))))
                    .arg(p.Lines.size())
                    .arg(Ml)
                    .arg(p.GetInt(QStringLiteral("EL")))
                    .arg(p.GetInt(QStringLiteral("CL")))
                    .arg(p.ConfigBody().size()));
  for (const QString& Entry : p.Descriptor) Print(stdout, QStringLiteral("  key ") + Shown(Entry));
  // A damaged file's ML may promise more messages than the part holds.
  for (int i = 0; i < Ml && 1 + i < p.Lines.size(); ++i)
    Print(stdout,
          QStringLiteral("  message %1: %2").arg(i + 1).arg(Printable(p.Lines.value(1 + i))));
}

int Info(const QString& file) {
  QByteArray Bytes;
  if (const int Status = ReadFile(file, Bytes); Status != exOk) return Status;
  TReprogramBuffer Parts;
  int Version = -1;
  const QString Error = Load(Bytes, Parts, Version);
  Print(stdout, QStringLiteral("%1: %2 bytes, format version %3, %4 part(s)")
                    .arg(file)
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

int Pack(const QString& description, const QString& outName) {
  QByteArray Text;
  if (const int Status = ReadFile(description, Text); Status != exOk) return Status;
  TReprogramBuffer Parts;
  TKffWriteOptions Options;
  QString Error;
  if (!ParseKffDescription(Text, Parts, Options.Version, Error))
    return Fail(description + QStringLiteral(": ") + Error);
  QByteArray Image;
  if (!WriteKffFile(Parts, Options, Image, Error)) return Fail(Error);
  if (const int Status = WriteFile(outName, Image); Status != exOk) return Status;
  Print(
      stdout,
      QStringLiteral("%1: %2 bytes, %3 part(s)").arg(outName).arg(Image.size()).arg(Parts.Count()));
  return exOk;
}

int Unpack(const QString& file, const QString& dirName) {
  QByteArray Bytes;
  if (const int Status = ReadFile(file, Bytes); Status != exOk) return Status;
  TReprogramBuffer Parts;
  int Version = -1;
  const QString Error = Load(Bytes, Parts, Version);
  if (!Error.isEmpty())
    return Fail(file + QStringLiteral(": ") + QString(Error).replace(u'\n', u' '));
  if (!QDir().mkpath(dirName)) return Fail(QStringLiteral("cannot create ") + dirName);
  const QString OutName = QDir(dirName).filePath(QStringLiteral("description.txt"));
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
  int (*Run)(const QStringList& arguments);
};

const TCommand Commands[] = {
    {"info", "FILE", "parts, keys, line counts, messages, checksums",
     [](const QStringList& a) { return Info(a[0]); }},
    {"pack", "DESCRIPTION OUT", "a firmware file from a plain-text description",
     [](const QStringList& a) { return Pack(a[0], a[1]); }},
    {"unpack", "FILE DIR", "the file described in plain text, into DIR",
     [](const QStringList& a) { return Unpack(a[0], a[1]); }},
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

int ArgumentCount(const TCommand& c) {
  const QString Names = QString::fromLatin1(c.Arguments);
  return Names.isEmpty() ? 0 : static_cast<int>(Names.count(u' ')) + 1;
}

// Finds the command and checks its arguments: a missing, extra or empty one is bad
// usage (one line on standard error, then "Try --help.").
int Dispatch(const QStringList& args) {
  QString Error;
  const TCommand* Found = nullptr;
  for (const TCommand& C : Commands)
    if (!args.isEmpty() && args[0] == QLatin1String(C.Name)) Found = &C;
  if (args.isEmpty())
    Error = QStringLiteral("a command is needed");
  else if (!Found)
    Error = QStringLiteral("unknown command: ") + args[0];
  else if (args.size() - 1 != ArgumentCount(*Found))
    Error = *Found->Arguments
                ? QStringLiteral("%1 takes %2").arg(args[0], QString::fromLatin1(Found->Arguments))
                : args[0] + QStringLiteral(" takes no arguments");
  else if (args.mid(1).contains(QString()))
    Error = QStringLiteral("%1: an empty argument").arg(args[0]);
  if (Error.isEmpty()) return Found->Run(args.mid(1));
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
