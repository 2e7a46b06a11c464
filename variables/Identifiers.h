#pragma once
// Identifiers name device values by a small number (only the low 7 bits count):
// 1..16 RAM variables, 17..52 flags (bits of the flag words, which are settings),
// 53..126 settings. 0 ("NoVariableID") and 127 belong to no class.

#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>

enum TIdentifierClass : uint8_t {
  icNone = 0,
  icRamVar = 1,
  icFlag = 2,
  icSetting = 3,
};

constexpr uint8_t NoVariableID = 0;
constexpr uint8_t FirstRamVarID = 1;
constexpr uint8_t FirstFlagID = 17;
constexpr uint8_t FirstSettingID = 53;
constexpr uint8_t LastSettingID = 126;
constexpr int IdentifierCount = 127;  // names exist for 0..126

// Identifiers of the flag words, in order (setting indexes 0, 1, 60, 61).
inline constexpr std::array<uint8_t, 4> FlagWordTable = {53, 54, 113, 114};

// Class of id AND 127: 0 none, 1 RAM variable, 2 flag, 3 setting.
TIdentifierClass ClassifyIdentifier(uint8_t id);
// Index within the class (0 for class none).
int IdentifierIndex(uint8_t id);

// The name table, indexed by identifier 0..126.
extern const std::array<const char*, IdentifierCount> IdentifierNames;

// Name of id AND 127; empty for 127.
QString IdentifierName(uint8_t id);
// Identifier whose name equals name exactly (case-insensitive when no exact
// match exists); -1 when none does. "NoVariableID" is not a usable value, so it
// is never found.
int FindIdentifier(const QString& name);
// Up to maxCount names close to an unknown name, best first.
QStringList SuggestIdentifiers(const QString& name, int maxCount = 3);
