// Build-time generator of the embedded interface image: packs the readable
// description into a firmware file and checks that it reads back.
#include "firmware/KFFDescription.h"
#include "firmware/KFFWriter.h"

#include <QBuffer>
#include <QFile>

#include <cstdio>

static int Fail(const QString& text) {
  std::fprintf(stderr, "bx2image: %s\n", text.toLocal8Bit().constData());
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 3) return Fail(QStringLiteral("usage: bx2image DESCRIPTION OUT"));
  QFile In(QString::fromLocal8Bit(argv[1]));
  if (!In.open(QIODevice::ReadOnly)) return Fail(QStringLiteral("cannot read ") + In.fileName());
  TReprogramBuffer Parts;
  int Version = 0;
  QString Error;
  if (!ParseKffDescription(In.readAll(), Parts, Version, Error)) return Fail(Error);
  TKffWriteOptions Options;
  Options.Version = Version;
  QByteArray Image;
  if (!WriteKffFile(Parts, Options, Image, Error)) return Fail(Error);

  QBuffer Check(&Image);
  Check.open(QIODevice::ReadOnly);
  TReprogramBuffer Loaded;
  Loaded.LoadFromStream(Check, false, Error);
  if (!Error.isEmpty()) return Fail(QStringLiteral("image does not read back: ") + Error);

  QFile Out(QString::fromLocal8Bit(argv[2]));
  if (!Out.open(QIODevice::WriteOnly) || Out.write(Image) != Image.size())
    return Fail(QStringLiteral("cannot write ") + Out.fileName());
  return 0;
}
