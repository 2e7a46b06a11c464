// KFF firmware files: a file holds one or more parts (normally "Main" and,
// where needed, "Bootblock"); each part is a descriptor of key=value entries
// and a list of lines that are sent to a boot loader as they stand.
#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <string>
#include <vector>

// Returned by TCodePart::GetValue for a key the descriptor does not hold at all,
// so that a missing key can be told from a key with an empty value.
inline const QString KffAbsentMarker = QString(QChar(2));

// The fixed header string in front of a file's (or, from version 3, every) part.
inline constexpr char KffMagic[] = "Kalmeon Energy firmware file";
// Highest file format version this reader takes.
inline constexpr int KffMaxVersion = 4;
// Size of a raw line record (format versions 0 to 2).
inline constexpr int KffRawLineSize = 74;
// No firmware file comes near these sizes (a device's whole program is some
// thousand lines); a larger file, or one that announces more records, is refused
// before it is read, so that a crafted file cannot take the memory.
inline constexpr qint64 KffMaxFileBytes = qint64(64) << 20;
// Lines and descriptor entries of one file, together.
inline constexpr qint64 KffMaxRecords = qint64(1) << 18;

class TCodePart {
 public:
  explicit TCodePart(const QString& partName = QString());

  // key=value entries, file order, duplicates kept; keys match without regard to case.
  QStringList Descriptor;
  // Line 0 is the configuration line ("C" + bits), then ML message lines, EL data
  // lines and CL code lines.
  QList<QByteArray> Lines;
  // The EL data lines currently stand in reverse order.
  bool DataReversed = false;
  // The data lines are left out when the part is sent.
  bool SkipData = false;

  QString GetValue(const QString& key) const;
  int GetInt(const QString& key) const;
  void SetValue(const QString& key, const QString& value);
  void SetInt(const QString& key, int value);

  QString Nonce() const;
  int UsedKey() const;
  QByteArray ConfigBody() const;

  void AddMessage(const QByteArray& text);
  QString MessageAt(int index) const;
  int PayloadStart() const;

  int SendLineCount() const;
  // ML, EL and CL are not negative, EL + CL is not 0, and the part holds exactly the
  // configuration line and the ML + EL + CL lines they announce.
  bool HoldsAnnouncedLines() const;
  // The Index-th line to send; IsData tells whether it is one of the data lines.
  // An index past the end of Lines gives an empty line.
  QByteArray SendLineAt(int index, bool& isData) const;
  void SetDataReversed(bool reversed);

  // Parses one part. Version is -1 for the first part of a file and carries the
  // format version from part to part. Error is empty on success.
  void ReadPart(QIODevice& stream, int& version, QString& error);
};

// The parts of one file, in file order; owns them.
class TReprogramBuffer {
 public:
  // Reads a whole file from the stream's current position to its end. Error is
  // empty on success; parts read before a failure stay in the buffer. With
  // ShowMessages the "Main" part's messages are shown one by one afterwards.
  void LoadFromStream(QIODevice& stream, bool showMessages, QString& error);
  void LoadFromStream(QIODevice& stream, bool showMessages, std::string& error);

  int Count() const { return static_cast<int>(Parts.size()); }
  // nullptr when Index is out of range.
  TCodePart* PartAt(int index) const;
  // Index of the last part whose "Part" value equals Name exactly; -1 if none.
  int IndexOfPart(const QString& name) const;
  TCodePart* Add(std::unique_ptr<TCodePart> part);
  void Clear() { Parts.clear(); }

  void SetDataReversed(bool reversed);
  void SetSkipData(bool skip);

 private:
  std::vector<std::unique_ptr<TCodePart>> Parts;
};

// The records a part keeps in memory: its lines and its descriptor entries.
qint64 KffRecordCount(const TCodePart& part);

// Shows one message of a firmware file to the user (an information dialog with
// OK). The default goes through the string table; tests and the console
// program may replace it. Returns the previous hook.
using TKffMessageHook = void (*)(const QString& message);
TKffMessageHook SetKffMessageHook(TKffMessageHook hook);
