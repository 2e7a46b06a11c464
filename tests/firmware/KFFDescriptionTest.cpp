// Plain-text descriptions of firmware files (kfftool pack / unpack).
#include "firmware/EmbeddedImage.h"
#include "firmware/KFFDescription.h"
#include "firmware/KFFWriter.h"

#include <gtest/gtest.h>
#include <QBuffer>

namespace {

QString LoadInto(const QByteArray& bytes, TReprogramBuffer& buffer) {
  QBuffer Stream;
  Stream.setData(bytes);
  Stream.open(QIODevice::ReadOnly);
  QString Error;
  buffer.LoadFromStream(Stream, false, Error);
  return Error;
}

TEST(KffDescription, BuildsPartsWithCountedLines) {
  const QByteArray Text =
      "# comment\n"
      "version 3\r\n"
      "part Main\n"
      "key Version=1130132\n"
      "key ML=99\n"
      "code \"second\\x00\\\\\\\"\"\n"
      "config hex:0fA0\n"
      "message  spaced text  \n"
      "data hex:\n"
      "code first\n"
      "part\n"
      "key \"Part=Bootblock\"\n";
  TReprogramBuffer Parts;
  int Version = -1;
  QString Error;
  ASSERT_TRUE(ParseKffDescription(Text, Parts, Version, Error)) << Error.toStdString();
  EXPECT_EQ(Version, 3);
  ASSERT_EQ(Parts.Count(), 2);
  const TCodePart& Main = *Parts.PartAt(0);
  EXPECT_EQ(Main.Descriptor, QStringList({"Part=Main", "Version=1130132", "ML=1", "EL=1", "CL=2"}));
  EXPECT_EQ(Main.Lines, QList<QByteArray>({QByteArray("C\x0F\xA0"), "spaced text", QByteArray(),
                                           QByteArray("second\0\\\"", 9), "first"}));
  EXPECT_EQ(Parts.IndexOfPart(QStringLiteral("Bootblock")), 1);
}

TEST(KffDescription, RejectsMistakesWithTheirLine) {
  const std::vector<std::pair<const char*, const char*>> Cases = {
      {"part Main\n", "line 1:"},
      {"version 7\n", "line 1:"},
      {"version 4\nversion 4\n", "line 2:"},
      {"version 4\ncode x\n", "line 2:"},
      {"version 4\npart\nkode x\n", "line 3:"},
      {"version 4\npart\ncode hex:123\n", "line 3:"},
      {"version 4\npart\ncode hex:zz\n", "line 3:"},
      {"version 4\npart\ncode \"\\q\"\n", "line 3:"},
      {"version 4\npart\ncode \"\\x4\"\n", "line 3:"},
      {"version 4\npart\ncode \"open\n", "line 3:"},
      {"version 4\n", "no version or no part"},
  };
  for (const auto& [Text, Expected] : Cases) {
    TReprogramBuffer Parts;
    int Version = 0;
    QString Error;
    EXPECT_FALSE(ParseKffDescription(Text, Parts, Version, Error)) << Text;
    EXPECT_TRUE(Error.startsWith(QLatin1String(Expected))) << Text << " -> " << Error.toStdString();
  }
}

// unpack then pack gives the same file back, byte for byte.
TEST(KffDescription, DescribingAFileGivesItBack) {
  const QByteArray Image = EmbeddedInterfaceImage();
  TReprogramBuffer Loaded;
  ASSERT_EQ(LoadInto(Image, Loaded), QString());
  TReprogramBuffer Parts;
  int Version = -1;
  QString Error;
  ASSERT_TRUE(ParseKffDescription(DescribeKff(Loaded, 4), Parts, Version, Error));
  QByteArray Again;
  ASSERT_TRUE(WriteKffFile(Parts, {Version, false}, Again, Error));
  EXPECT_EQ(Again, Image);

  TCodePart Odd(QStringLiteral("Main"));
  Odd.Lines << QByteArray("\x00\x7F\x80\xFF\"\\ tab\t", 11);
  Odd.SetInt(QStringLiteral("CL"), 1);
  Odd.Descriptor << QStringLiteral("Label=a \"b\", c");
  TReprogramBuffer One;
  One.Add(std::make_unique<TCodePart>(Odd));
  TReprogramBuffer Back;
  ASSERT_TRUE(ParseKffDescription(DescribeKff(One, 4), Back, Version, Error));
  EXPECT_EQ(Back.PartAt(0)->Lines, Odd.Lines);
  EXPECT_EQ(Back.PartAt(0)->GetValue(QStringLiteral("Label")), QStringLiteral("a \"b\", c"));
}

}  // namespace
