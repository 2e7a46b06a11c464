// Firmware file reading: the formats, their checks and the part operations.
#include "firmware/EmbeddedImage.h"
#include "firmware/KFFFiles.h"
#include "firmware/KFFFormat.h"
#include "firmware/KFFMessages.h"
#include "firmware/KFFWriter.h"
#include "support/HardcodedStrings.h"
#include "support/Tools.h"

#include <gtest/gtest.h>
#include <QBuffer>

#include <algorithm>
#include <functional>
#include <map>
#include <random>

static void PrintTo(const QString& text, std::ostream* out) {
  *out << text.toStdString();
}

namespace {

QByteArray Line74(char fill, int tag) {
  QByteArray Line(KffRawLineSize, fill);
  Line[0] = static_cast<char>(tag);
  return Line;
}

// A part with messages, EL data lines and CL code lines of 74 bytes each.
std::unique_ptr<TCodePart> MakePart(const QString& name, QList<QByteArray> messages, int data,
                                    int code, const QByteArray& config = "C\x01\x02") {
  auto Part = std::make_unique<TCodePart>(name);
  Part->SetInt(QStringLiteral("Version"), 2606207);
  Part->Lines[0] = config;
  Part->Lines << messages;
  for (int i = 0; i < data; ++i) Part->Lines << Line74('d', i);
  for (int i = 0; i < code; ++i) Part->Lines << Line74('c', i);
  Part->SetInt(QStringLiteral("ML"), static_cast<int>(messages.size()));
  Part->SetInt(QStringLiteral("EL"), data);
  Part->SetInt(QStringLiteral("CL"), code);
  return Part;
}

QByteArray Write(const TReprogramBuffer& buffer, int version, bool scrambledHeader = false) {
  QByteArray Out;
  QString Error;
  EXPECT_TRUE(WriteKffFile(buffer, {version, scrambledHeader}, Out, Error)) << Error.toStdString();
  return Out;
}

QString Load(const QByteArray& bytes, TReprogramBuffer& buffer, bool showMessages = false) {
  QBuffer Stream;
  Stream.setData(bytes);
  Stream.open(QIODevice::ReadOnly);
  QString Error;
  buffer.LoadFromStream(Stream, showMessages, Error);
  return Error;
}

// A string record stored plain.
QByteArray Record(const QByteArray& content) {
  const auto Length = static_cast<quint16>(content.size());
  return QByteArray(1, static_cast<char>(Length & 0xFF)) + static_cast<char>(Length >> 8) +
         content + static_cast<char>(KffSum8(content));
}

QByteArray ScrambledRecord(QByteArray content) {
  const char Sum = static_cast<char>(KffSum8(content));
  KffScramble(content);
  return Record(content).chopped(1) + Sum;
}

// A version 4 part made by hand (not by the writer): the descriptor as given, a
// bare configuration line, then Records as they stand, with a sound checksum.
QByteArray RawV4(const QByteArray& descriptor, const QByteArray& records) {
  QByteArray Magic(KffMagic);
  const QByteArray Head =
      char(Magic.size()) + Magic + char(KffSum8(Magic)) + QByteArray("\x04\x00", 2);
  const QByteArray Body = ScrambledRecord(descriptor) + ScrambledRecord("C") + records;
  quint32 Sum = 0;
  for (char c : Head + Body) Sum += static_cast<quint8>(c);
  QByteArray Check;
  for (int i = 0; i < 4; ++i) Check += static_cast<char>((Sum >> (8 * i)) & 0xFF);
  return Head + Check + Body;
}

// The message a user reads for each failure.
QString Msg(TKffMessage message) {
  const std::map<TKffMessage, const char*> Texts = {
      {TKffMessage::kmAccess, "Error accessing file!"},
      {TKffMessage::kmIncorrectFormat, "Incorrect file format"},
      {TKffMessage::kmNotRecognised, "File format not recognised.\nCheck program version."},
      {TKffMessage::kmUnexpectedEnd, "Unexpected end of file.\nFile possibly corrupted!"},
      {TKffMessage::kmCorrupted, "File possibly corrupted!"},
  };
  return QString::fromStdString(AdjustLineBreaks(Texts.at(message)));
}

class KffFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    StartUnitStrings();
    StartUnitKFFFiles();
  }
};

TEST_F(KffFiles, EmbeddedImageLoadsAndDetectsAChangedLineByte) {
  const QByteArray Image = EmbeddedInterfaceImage();
  ASSERT_EQ(Image.size(), 7632);
  TReprogramBuffer Buffer;
  ASSERT_EQ(Load(Image, Buffer), QString());
  ASSERT_EQ(Buffer.Count(), 1);
  const TCodePart& Main = *Buffer.PartAt(0);
  EXPECT_EQ(Main.GetValue(QStringLiteral("Part")), QStringLiteral("Main"));
  EXPECT_EQ(Main.GetInt(QStringLiteral("Version")), 1130132);
  EXPECT_EQ(Main.GetInt(QStringLiteral("MinBFV")), 0);
  EXPECT_EQ(Main.GetValue(QStringLiteral("MustBeBFV")), KffAbsentMarker);
  EXPECT_EQ(Main.Nonce(), QString());
  EXPECT_EQ(Main.GetValue(QStringLiteral("ConnectInfo")).mid(1), QStringLiteral("BX2"));
  EXPECT_EQ(Main.SendLineCount(), 97);
  EXPECT_EQ(Main.ConfigBody().size(), 38);
  // The interface's boot loader finds the version in the programmed code.
  bool IsData = true;
  EXPECT_TRUE(Main.SendLineAt(4, IsData).contains("VER=1130132"));
  EXPECT_FALSE(IsData);

  // Layout: header 32, checksum 4, descriptor 82 + 3, configuration 39 + 3, 97 lines of 74 + 3.
  EXPECT_EQ(32 + 4 + 85 + 42 + 97 * 77, Image.size());
  for (qsizetype Offset : {qsizetype(32 + 4 + 85 + 42 + 2), Image.size() - 2}) {
    QByteArray Changed = Image;
    Changed[Offset] = static_cast<char>(Changed[Offset] ^ 0x10);
    EXPECT_EQ(Load(Changed, Buffer), Msg(TKffMessage::kmCorrupted)) << Offset;
  }
}

TEST_F(KffFiles, HeaderAndVersionChecks) {
  const QByteArray Image = EmbeddedInterfaceImage();
  TReprogramBuffer Buffer;

  QByteArray Five = Image;
  Five[30] = 5;  // version field after the 30-byte header string
  EXPECT_EQ(Load(Five, Buffer), Msg(TKffMessage::kmNotRecognised));

  // Another header with a sound sum byte is not a firmware file; a damaged one
  // fails its sum first.
  QByteArray Other = Image;
  Other[1] = static_cast<char>(Other[1] + 1);
  Other[2] = static_cast<char>(Other[2] - 1);
  EXPECT_EQ(Load(Other, Buffer), Msg(TKffMessage::kmIncorrectFormat));
  QByteArray Damaged = Image;
  Damaged[1] = 'k';
  EXPECT_EQ(Load(Damaged, Buffer), Msg(TKffMessage::kmCorrupted));

  EXPECT_EQ(Load(QByteArray(), Buffer), Msg(TKffMessage::kmUnexpectedEnd));
  EXPECT_EQ(Load(Image.left(20), Buffer), Msg(TKffMessage::kmUnexpectedEnd));

  // An old writer's scrambled header is forgiven, its sum byte included.
  TReprogramBuffer Parts;
  Parts.Add(MakePart(QStringLiteral("Main"), {}, 4, 2));
  const QByteArray Scrambled = Write(Parts, 3, true);
  EXPECT_FALSE(Scrambled.contains(KffMagic));
  EXPECT_EQ(Load(Scrambled, Buffer), QString());
  EXPECT_EQ(Buffer.PartAt(0)->SendLineCount(), 6);
}

TEST_F(KffFiles, OldVersionsUseTheFixedDescriptorAndCountCodeLines) {
  for (int Version : {0, 1}) {
    TReprogramBuffer Parts;
    Parts.Add(MakePart(QStringLiteral("Main"), {"Read me"}, 4, 3, "C\x07\x08"));
    const QByteArray File = Write(Parts, Version);
    TReprogramBuffer Buffer;
    ASSERT_EQ(Load(File, Buffer), QString()) << Version;
    const TCodePart& P = *Buffer.PartAt(0);
    EXPECT_EQ(P.GetInt(QStringLiteral("EL")), 4);
    EXPECT_EQ(P.GetInt(QStringLiteral("CL")), 3);
    EXPECT_EQ(P.GetInt(QStringLiteral("MinBFV")), 0);
    EXPECT_EQ(P.Lines[0], QByteArray("C\x07\x08"));
    EXPECT_EQ(P.MessageAt(0), QStringLiteral("Read me"));
    EXPECT_EQ(P.Lines, Parts.PartAt(0)->Lines);

    EXPECT_EQ(Load(File.left(File.size() - 1), Buffer), Msg(TKffMessage::kmUnexpectedEnd));
    QByteArray Changed = File;
    Changed[File.size() - 10] = 'x';
    EXPECT_EQ(Load(Changed, Buffer), Msg(TKffMessage::kmCorrupted));
  }
}

TEST_F(KffFiles, VersionTwoHoldsSeveralPartsBehindOneHeader) {
  TReprogramBuffer Parts;
  Parts.Add(MakePart(QStringLiteral("Bootblock"), {}, 0, 2, "C"));
  Parts.Add(MakePart(QStringLiteral("Main"), {"First", "Second"}, 4, 5));
  Parts.Add(MakePart(QStringLiteral("Bootblock"), {}, 1, 1, "C"));
  const QByteArray File = Write(Parts, 2);
  EXPECT_EQ(File.count(KffMagic), 1);

  TReprogramBuffer Buffer;
  ASSERT_EQ(Load(File, Buffer), QString());
  ASSERT_EQ(Buffer.Count(), 3);
  EXPECT_EQ(Buffer.IndexOfPart(QStringLiteral("Bootblock")), 2);
  EXPECT_EQ(Buffer.IndexOfPart(QStringLiteral("Main")), 1);
  EXPECT_EQ(Buffer.IndexOfPart(QStringLiteral("main")), -1);
  EXPECT_EQ(Buffer.PartAt(3), nullptr);
  EXPECT_EQ(Buffer.PartAt(-1), nullptr);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Buffer.PartAt(i)->Lines, Parts.PartAt(i)->Lines) << i;
  EXPECT_EQ(Buffer.PartAt(1)->GetInt(QStringLiteral("ML")), 2);
}

TEST_F(KffFiles, RoundTripsThroughTheWriterInEveryVersion) {
  for (int Version = 0; Version <= KffMaxVersion; ++Version) {
    TReprogramBuffer Parts;
    Parts.Add(MakePart(QStringLiteral("Main"), {"Note, \"quoted\"", "Two"}, 4, 6));
    Parts.PartAt(0)->SetValue(QStringLiteral("ConnectInfo"), QStringLiteral("_R24M"));
    Parts.PartAt(0)->SetValue(QStringLiteral("Label"), QStringLiteral("two words, \"q\""));
    if (Version >= 3) Parts.Add(MakePart(QStringLiteral("Bootblock"), {"B"}, 0, 1, "Cboot"));
    const QByteArray File = Write(Parts, Version);
    TReprogramBuffer Buffer;
    ASSERT_EQ(Load(File, Buffer), QString()) << Version;
    ASSERT_EQ(Buffer.Count(), Parts.Count());
    for (int i = 0; i < Parts.Count(); ++i) {
      EXPECT_EQ(Buffer.PartAt(i)->Lines, Parts.PartAt(i)->Lines) << Version;
      if (Version >= 2) {
        EXPECT_EQ(Buffer.PartAt(i)->GetValue(QStringLiteral("Label")),
                  Parts.PartAt(i)->GetValue(QStringLiteral("Label")));
      }
    }
    QByteArray Again;
    QString Error;
    ASSERT_TRUE(WriteKffFile(Buffer, {Version, false}, Again, Error));
    EXPECT_EQ(Again, File) << Version;
  }
}

TEST_F(KffFiles, WriterRefusesPartsItCannotStore) {
  struct TCase {
    int Version;
    std::function<void(TReprogramBuffer&)> Spoil;
  };
  const std::vector<TCase> Cases = {
      {0, [](TReprogramBuffer& b) { b.Add(MakePart(QStringLiteral("Main"), {}, 4, 1)); }},
      {1, [](TReprogramBuffer& b) { b.PartAt(0)->SetValue(QStringLiteral("Part"), "Boot"); }},
      {2, [](TReprogramBuffer& b) { b.PartAt(0)->Lines.last().chop(1); }},
      {4, [](TReprogramBuffer& b) { b.PartAt(0)->SetInt(QStringLiteral("CL"), 9); }},
      {4, [](TReprogramBuffer& b) { b.PartAt(0)->Lines.last() = QByteArray(70000, 'x'); }},
      {5, [](TReprogramBuffer&) {}},
  };
  for (const TCase& Case : Cases) {
    TReprogramBuffer Parts;
    Parts.Add(MakePart(QStringLiteral("Main"), {}, 4, 2));
    Case.Spoil(Parts);
    QByteArray Out("stale");
    QString Error;
    EXPECT_FALSE(WriteKffFile(Parts, {Case.Version, false}, Out, Error)) << Case.Version;
    EXPECT_FALSE(Error.isEmpty());
    EXPECT_TRUE(Out.isEmpty());
  }
}

TEST_F(KffFiles, MessagesAreShownInFileOrder) {
  static QStringList Shown;
  Shown.clear();
  const TKffMessageHook Previous = SetKffMessageHook([](const QString& m) { Shown << m; });
  TReprogramBuffer Parts;
  Parts.Add(MakePart(QStringLiteral("Bootblock"), {"Not me"}, 0, 1, "C"));
  Parts.Add(MakePart(QStringLiteral("Main"), {"One", "Two"}, 4, 1));
  TReprogramBuffer Buffer;
  EXPECT_EQ(Load(Write(Parts, 4), Buffer, true), QString());
  EXPECT_EQ(Shown, QStringList({"One", "Two"}));
  Shown.clear();
  EXPECT_EQ(Load(Write(Parts, 4), Buffer, false), QString());
  EXPECT_TRUE(Shown.isEmpty());
  SetKffMessageHook(Previous);
}

TEST(KffCodePart, DescriptorValues) {
  TCodePart Part;
  EXPECT_TRUE(Part.Descriptor.isEmpty());
  EXPECT_EQ(Part.Lines, QList<QByteArray>({"C"}));
  Part.Descriptor = KffParseCommaText(
      "Part=Main, Empty= ,Alone \"Quoted=a, \"\"b\"\"\" , ,MinBFV=x12\x01Version=007");
  EXPECT_EQ(Part.Descriptor, QStringList({"Part=Main", "Empty=", "Alone", "Quoted=a, \"b\"", "",
                                          "MinBFV=x12", "Version=007"}));
  EXPECT_EQ(Part.GetValue(QStringLiteral("part")), QStringLiteral("Main"));
  EXPECT_EQ(Part.GetValue(QStringLiteral("Empty")), QString());
  EXPECT_EQ(Part.GetValue(QStringLiteral("alone")), QString());
  EXPECT_EQ(Part.GetValue(QStringLiteral("Missing")), KffAbsentMarker);
  EXPECT_EQ(Part.GetValue(QStringLiteral("Quoted")), QStringLiteral("a, \"b\""));
  EXPECT_EQ(Part.GetInt(QStringLiteral("Missing")), 0);
  EXPECT_EQ(Part.GetInt(QStringLiteral("MinBFV")), 0);
  EXPECT_EQ(Part.GetInt(QStringLiteral("Version")), 7);

  Part.SetInt(QStringLiteral("VERSION"), 12);
  EXPECT_EQ(Part.Descriptor.last(), QStringLiteral("VERSION=12"));
  Part.SetValue(QStringLiteral("Empty"), QString());
  Part.SetValue(QStringLiteral("Nonce"), QStringLiteral("A1B2"));
  EXPECT_EQ(Part.GetValue(QStringLiteral("Empty")), KffAbsentMarker);
  EXPECT_EQ(Part.Nonce(), QStringLiteral("A1B2"));

  // Unterminated quotes take the rest; a byte 0 ends the text.
  EXPECT_EQ(KffParseCommaText("A=1 \"B=2, 3"), QStringList({"A=1", "B=2, 3"}));
  EXPECT_EQ(KffParseCommaText(QByteArray("A=1\0B=2", 7)), QStringList({"A=1"}));
  EXPECT_EQ(KffParseCommaText(KffCommaText(Part.Descriptor)), Part.Descriptor);
}

TEST(KffCodePart, MessagesAndLineSelection) {
  auto Part = MakePart(QStringLiteral("Main"), {}, 4, 3);
  Part->AddMessage(QByteArray());
  Part->AddMessage("first");
  Part->AddMessage("second");
  EXPECT_EQ(Part->GetInt(QStringLiteral("ML")), 2);
  EXPECT_EQ(Part->MessageAt(0), QStringLiteral("first"));
  EXPECT_EQ(Part->MessageAt(1), QStringLiteral("second"));
  EXPECT_EQ(Part->MessageAt(2), QString());
  EXPECT_EQ(Part->MessageAt(-1), QString());
  EXPECT_EQ(Part->PayloadStart(), 3);

  bool IsData = false;
  EXPECT_EQ(Part->SendLineCount(), 7);
  EXPECT_EQ(Part->SendLineAt(3, IsData), Line74('d', 3));
  EXPECT_TRUE(IsData);
  EXPECT_EQ(Part->SendLineAt(4, IsData), Line74('c', 0));
  EXPECT_FALSE(IsData);
  EXPECT_EQ(Part->SendLineAt(7, IsData), QByteArray());

  Part->SkipData = true;
  EXPECT_EQ(Part->SendLineCount(), 3);
  EXPECT_EQ(Part->SendLineAt(0, IsData), Line74('c', 0));
  EXPECT_FALSE(IsData);
  EXPECT_EQ(Part->SendLineAt(3, IsData), QByteArray());
}

TEST(KffCodePart, ReversingDataLinesTwiceRestoresThem) {
  TReprogramBuffer Buffer;
  TCodePart& Part = *Buffer.Add(MakePart(QStringLiteral("Main"), {"m"}, 5, 2));
  const QList<QByteArray> Original = Part.Lines;
  Buffer.SetDataReversed(true);
  EXPECT_TRUE(Part.DataReversed);
  EXPECT_EQ(Part.Lines[2], Original[6]);
  EXPECT_EQ(Part.Lines[4], Original[4]);
  EXPECT_EQ(Part.Lines[6], Original[2]);
  EXPECT_EQ(Part.Lines[7], Original[7]);
  Part.SetDataReversed(true);  // no change of flag: no change of order
  EXPECT_EQ(Part.Lines[2], Original[6]);
  Buffer.SetDataReversed(false);
  EXPECT_EQ(Part.Lines, Original);

  // A descriptor that promises more lines than there are must not reach past them.
  Part.SetInt(QStringLiteral("EL"), 50);
  Part.SetDataReversed(true);
  EXPECT_EQ(Part.Lines, Original);
  Buffer.SetSkipData(true);
  EXPECT_TRUE(Part.SkipData);
}

// The descriptor's counts must agree with the records present: a file that
// announces more lines than it holds, or nothing to send, never loads as sound, and
// nothing is read or sized by an absurd count.
TEST_F(KffFiles, CountsThatDisagreeWithTheRecordsMakeTheFileUnusable) {
  TReprogramBuffer Buffer;
  const QByteArray Line = Record(QByteArray(KffRawLineSize, 'L'));
  const QByteArray Two = Line + Line;
  EXPECT_EQ(Load(RawV4("Part=Main EL=1 CL=1", Two), Buffer), QString());
  // The stream ends before the announced lines: before, the missing ones were sent
  // as empty frames and counted as done.
  EXPECT_EQ(Load(RawV4("Part=Main EL=1 CL=2", Two), Buffer), Msg(TKffMessage::kmUnexpectedEnd));
  EXPECT_EQ(Load(RawV4("Part=Main EL=0 CL=1000000000", Two), Buffer),
            Msg(TKffMessage::kmUnexpectedEnd));
  ASSERT_EQ(Buffer.Count(), 1);
  EXPECT_EQ(Buffer.PartAt(0)->Lines.size(), 1);  // refused before reading a line
  EXPECT_EQ(Load(RawV4("Part=Main ML=2147483647 EL=1 CL=1", Two), Buffer),
            Msg(TKffMessage::kmUnexpectedEnd));
  // Nothing to send, or more records than announced.
  EXPECT_EQ(Load(RawV4("Part=Main EL=0 CL=0", ""), Buffer), Msg(TKffMessage::kmCorrupted));
  EXPECT_EQ(Load(RawV4("Part=Main EL=2 CL=-1", Line), Buffer), Msg(TKffMessage::kmCorrupted));

  // Version 2: the raw line records must all be there.
  TReprogramBuffer Parts;
  Parts.Add(MakePart(QStringLiteral("Main"), {"Hello"}, 4, 2));
  const QByteArray Sound = Write(Parts, 2);
  EXPECT_EQ(Load(Sound, Buffer), QString());
  Parts.PartAt(0)->SetInt(QStringLiteral("CL"), 3);
  Parts.PartAt(0)->Lines.append(QByteArray(KffRawLineSize, 'X'));
  QByteArray Short = Write(Parts, 2);
  Short.chop(KffRawLineSize);  // one code line short of CL
  EXPECT_EQ(Load(Short, Buffer), Msg(TKffMessage::kmUnexpectedEnd));
}

// The memory a file may take is bounded by the record cap, not by its counts or its
// size: before, 3 bytes of file gave a line of 24 or more bytes in memory.
TEST_F(KffFiles, FilesBeyondTheRecordCapAreRefused) {
  const qint64 Many = KffMaxRecords + 1;
  TReprogramBuffer Buffer;
  QByteArray Empties;
  for (qint64 i = 0; i < Many; ++i) Empties += Record("");
  EXPECT_EQ(Load(RawV4("Part=Main EL=0 CL=" + QByteArray::number(Many), Empties), Buffer),
            Msg(TKffMessage::kmCorrupted));
  EXPECT_EQ(Buffer.PartAt(0)->Lines.size(), 1);  // refused before a line was read
  // Versions 0 and 1 read to the end of the file: lines of zeros keep the checksum.
  TReprogramBuffer Parts;
  Parts.Add(MakePart(QStringLiteral("Main"), {}, 4, 1));
  const QByteArray Sound = Write(Parts, 1);
  EXPECT_EQ(Load(Sound, Buffer), QString());
  EXPECT_EQ(Load(Sound + QByteArray(KffRawLineSize * Many, '\0'), Buffer),
            Msg(TKffMessage::kmCorrupted));
}

// A stream that tells only what it has buffered (a pipe) still reads as a file.
class TPipeStream : public QIODevice {
 public:
  explicit TPipeStream(QByteArray bytes) : Data(std::move(bytes)) { open(ReadOnly); }
  bool isSequential() const override { return true; }

 protected:
  qint64 readData(char* to, qint64 max) override {
    const qint64 Count = std::min<qint64>({max, 16, Data.size() - Pos});
    std::copy_n(Data.constData() + Pos, Count, to);
    Pos += Count;
    return Count;
  }
  qint64 writeData(const char*, qint64) override { return -1; }
  bool atEnd() const override { return Pos >= Data.size() && QIODevice::atEnd(); }

 private:
  QByteArray Data;
  qint64 Pos = 0;
};

TEST_F(KffFiles, SequentialStreamsReadLikeFiles) {
  TPipeStream Pipe(EmbeddedInterfaceImage());
  TReprogramBuffer Buffer;
  QString Error;
  Buffer.LoadFromStream(Pipe, false, Error);
  EXPECT_EQ(Error, QString());
  EXPECT_EQ(Buffer.Count(), 1);
}

// What the reader refuses, the writer refuses with the reader's message.
TEST_F(KffFiles, WriterRefusesWhatTheReaderRefuses) {
  TReprogramBuffer NoLines;
  NoLines.Add(std::make_unique<TCodePart>(QStringLiteral("Main")));
  NoLines.PartAt(0)->SetInt(QStringLiteral("EL"), 0);
  TReprogramBuffer Nul;
  Nul.Add(MakePart(QStringLiteral("Main"), {}, 1, 1));
  Nul.PartAt(0)->Descriptor.prepend(QStringLiteral("A=x") + QChar(0) + QStringLiteral("y"));
  for (const TReprogramBuffer* Parts : {&NoLines, &Nul}) {
    QByteArray Out;
    QString Error;
    EXPECT_FALSE(WriteKffFile(*Parts, {4, false}, Out, Error));
    EXPECT_EQ(Error, Msg(TKffMessage::kmCorrupted));
    EXPECT_TRUE(Out.isEmpty());
  }
}

// Damaged and hostile files end with one of the unit's messages, never a crash.
TEST_F(KffFiles, MalformedFilesGiveAMessage) {
  const QStringList Known = {Msg(TKffMessage::kmIncorrectFormat), Msg(TKffMessage::kmNotRecognised),
                             Msg(TKffMessage::kmUnexpectedEnd), Msg(TKffMessage::kmCorrupted)};
  TReprogramBuffer Buffer;
  const QByteArray Image = EmbeddedInterfaceImage();
  for (qsizetype Length = 0; Length < Image.size(); Length += 7)
    EXPECT_TRUE(Known.contains(Load(Image.left(Length), Buffer))) << Length;

  // Huge and negative counts, unterminated quotes, a length field beyond the end.
  const QByteArray Plain = Record("plain line");
  EXPECT_EQ(
      Load(RawV4("Part=Main ML=2147483647 EL=2147483647 CL=2147483647", Plain + Plain), Buffer),
      Msg(TKffMessage::kmUnexpectedEnd));
  // A quote inside an item is kept as it stands; the plain record then fails as a message.
  EXPECT_EQ(Load(RawV4("Part=\"Main ML=1", Plain), Buffer), Msg(TKffMessage::kmCorrupted));
  EXPECT_EQ(Buffer.PartAt(0)->GetValue(QStringLiteral("Part")), QStringLiteral("\"Main"));
  EXPECT_EQ(Load(RawV4("Part=Main CL=1", QByteArray("\xFF\xFF", 2) + "short"), Buffer),
            Msg(TKffMessage::kmUnexpectedEnd));
  // Negative counts make the file unusable, even where their sum matches the records.
  EXPECT_EQ(Load(RawV4("Part=Main ML=-3 EL=-9 CL=4", Plain + Plain + Plain), Buffer),
            Msg(TKffMessage::kmCorrupted));
  TCodePart& Odd = *Buffer.PartAt(0);
  bool IsData = true;
  for (int i = -2; i < 6; ++i) {
    Odd.SendLineAt(i, IsData);
    EXPECT_TRUE(Odd.MessageAt(i).isEmpty());
  }
  Odd.SetDataReversed(true);
  EXPECT_EQ(Odd.Lines.size(), 1);  // no line was read

  std::mt19937 Random(7632);
  for (int Round = 0; Round < 300; ++Round) {
    QByteArray Noise = Image.left(40);
    const int Extra = static_cast<int>(Random() % 400);
    for (int i = 0; i < Extra; ++i) Noise += static_cast<char>(Random());
    for (int i = 0; i < 8; ++i) Noise[Random() % Noise.size()] = static_cast<char>(Random());
    EXPECT_TRUE(Known.contains(Load(Noise, Buffer))) << Round;
  }
}

}  // namespace
