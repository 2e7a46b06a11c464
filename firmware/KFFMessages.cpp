#include "firmware/KFFMessages.h"

#include "support/Dialogs.h"
#include "support/HardcodedStrings.h"

#include <array>
#include <cstdint>

namespace {

constexpr int MessageCount = 5;

constexpr std::array<const char*, MessageCount> BuiltInTexts = {
    "Error accessing file!",
    "Incorrect file format",
    "File format not recognised.\rCheck program version.",
    "Unexpected end of file.\rFile possibly corrupted!",
    "File possibly corrupted!",
};

struct TKffUnit {
  bool Started = false;
  std::array<int32_t, MessageCount> Ids{};
};

TKffUnit& Unit() {
  static TKffUnit State;
  return State;
}

}  // namespace

void StartUnitKFFFiles() {
  TKffUnit& U = Unit();
  if (U.Started) return;
  DeclareSection("KFFFiles", U.Ids.front(), U.Ids.back());
  for (int i = 0; i < MessageCount; ++i)
    DefineString(U.Ids[i], skError, dbOK, 0, "error during read of KFF file", {BuiltInTexts[i]});
  U.Started = true;
}

// The declared strings stay in the table (index variables keep their values);
// the unit only stops answering through it.
void StopUnitKFFFiles() {
  Unit().Started = false;
}

QString KffMessageText(TKffMessage message) {
  const int i = static_cast<int>(message);
  const TKffUnit& U = Unit();
  if (U.Started) return QString::fromStdString(FetchText(U.Ids[i]));
  return QString::fromLatin1(BuiltInTexts[i]);
}

void KffShowMessage(const QString& text) {
  Dialogs().MessageDialog(text.toStdString(), mkInformation, dbOK, 0);
}
