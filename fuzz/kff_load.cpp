// Firmware file reader on arbitrary bytes: loading and the operations the updater
// uses on what was loaded must neither crash nor run away.
#include "firmware/KFFFiles.h"

#include <QBuffer>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  QBuffer Stream;
  Stream.setData(reinterpret_cast<const char*>(Data), static_cast<qsizetype>(Size));
  Stream.open(QIODevice::ReadOnly);
  TReprogramBuffer Buffer;
  QString Error;
  Buffer.LoadFromStream(Stream, false, Error);
  for (int i = 0; i < Buffer.Count(); ++i) {
    TCodePart& Part = *Buffer.PartAt(i);
    Part.SetDataReversed(true);
    Part.SkipData = (i % 2) != 0;
    bool IsData = false;
    for (int Line = -1; Line < 8; ++Line) Part.SendLineAt(Line, IsData);
    Part.SendLineAt(Part.SendLineCount(), IsData);
    Part.MessageAt(0);
    Part.ConfigBody();
    Part.Nonce();
    Part.SetDataReversed(false);
  }
  Buffer.IndexOfPart(QStringLiteral("Main"));
  return 0;
}
