// The firmware description parser and the writer behind kfftool pack: any text is
// parsed or refused, and a file that is written loads back as the same parts.
#include <QBuffer>

#include <cstddef>
#include <cstdint>

#include "firmware/KFFDescription.h"
#include "firmware/KFFFiles.h"
#include "firmware/KFFWriter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const QByteArray Text(reinterpret_cast<const char*>(Data), static_cast<qsizetype>(Size));
  TReprogramBuffer Parts;
  TKffWriteOptions Options;
  QString Error;
  if (!ParseKffDescription(Text, Parts, Options.Version, Error)) return 0;
  QByteArray Image;
  if (!WriteKffFile(Parts, Options, Image, Error)) return 0;
  QBuffer Stream;
  Stream.setData(Image);
  Stream.open(QIODevice::ReadOnly);
  TReprogramBuffer Loaded;
  Loaded.LoadFromStream(Stream, false, Error);
  if (!Error.isEmpty() || Loaded.Count() != Parts.Count()) __builtin_trap();
  for (int i = 0; i < Parts.Count(); ++i)
    if (Loaded.PartAt(i)->Lines != Parts.PartAt(i)->Lines) __builtin_trap();
  // What is loaded describes itself so that the description gives the same file.
  TReprogramBuffer Again;
  int Version = -1;
  QByteArray Rewritten;
  if (!ParseKffDescription(DescribeKff(Loaded, Options.Version), Again, Version, Error) ||
      !WriteKffFile(Again, Options, Rewritten, Error) || Rewritten != Image)
    __builtin_trap();
  return 0;
}
