#include "variables/Identifiers.h"

#include <algorithm>
#include <vector>

const std::array<const char*, IdentifierCount> IdentifierNames = {
    "NoVariableID",
    // RAM variables 1..16
    "UMainsRMS", "IMainsRMS", "UInvRMS", "IInvRMS", "UBat", "IBat_dA", "RippleUBatInRMS",
    "PeriodTime", "MainsPeriodTime", "RelativeSignedILoad", "@_VirtualSwitchPosition",
    "@_IgnoreACInput", "@pMultifunctionalRelay", "ChargePercentage", "PInverter", "PMains",
    // flags 17..52
    "@_ObsoleteThreePhaseSystem", "@_ObsoleteThreePhaseLeader", "_60Hz",
    "_DisableMainsWaveShapeCheck", "_NoBulkProtection", "_AssistEnabled", "_DisableCharge",
    "_DisableBFLockOnLargeCurrents", "_DisableAES", "_DisableLowRippleCheck",
    "_DisableHighRippleCheck", "_EnableReducedFloat", "@_ObsoleteCBulkContainsCharge",
    "_DisableGndRelay", "_UseConstantTwinPWMDuringCharge", "_RemoteOverrulesAC1",
    "@_vsonBulkProtection", "@_vsonTemperaturePreAlarm", "@_vsonLowBatteryPreAlarm",
    "@_vsonOverloadPreAlarm", "@_vsonUBatRipplePreAlarm", "@_vsoffTemperaturePreAlarm",
    "@_vsoffLowBatteryPreAlarm", "@_vsoffOverloadPreAlarm", "@_vsoffUBatRipplePreAlarm",
    "@_vsonWhenGeneralFailure", "@_vsInvert", "_AcceptWideInputFrequency",
    "_TakeGeneratorDelayIntoAccount", "_EnableTPTBMode", "_RemoteOverrulesAC0", "_UseLPSInAES",
    "@_vs2offWhenAC1Available", "@_vs2Invert", "@_vsSetInverterPeriodTimeWhenVS",
    "@_vsSetInverterPeriodTimeOnUBat",
    // settings 53..126
    "eestFlags#0", "eestFlags#2", "eestUBatAbsorption", "eestUBatFloat", "eestIBatBulk",
    "eestRequestedInvVoltage", "eestIMainsLimit", "eestEqualiseQuarters", "eestFloatDays",
    "eestMaxAbsorptionHours", "eestChargeCharacteristic", "eestUBat2LowInvert", "eestUBatLowMargin",
    "@eestObsoleteNrOfSlaves", "@eestObsoleteThreePhase", "@eevsUsage", "@eevsonILoadHigh",
    "@eevsonUBatHigh", "@eevsonUBatLow", "@eevstonILoadHigh", "@eevstonUBatHigh", "@eevstonUBatLow",
    "@eevstonNotCharging", "@eevstonFanOn", "@eevstonTemperatureAlarm", "@eevstonLowBatteryAlarm",
    "@eevstonOverloadAlarm", "@eevstonUBatRippleAlarm", "@eevsoffILoadLow", "@eevsoffUBatHigh",
    "@eevsoffUBatLow", "@eevstoffILoadLow", "@eevstoffUBatHigh", "@eevstoffUBatLow",
    "@eevstoffCharging", "@eevstoffFanOff", "@eevstoffChargeBulkFinished",
    "@eevstoffNoVSOnCondition", "@eevstoffNoACInput", "@eevstoffTemperatureAlarm",
    "@eevstoffLowBatteryAlarm", "@eevstoffOverloadAlarm", "@eevstoffUBatRippleAlarm",
    "@eevsMinimumOnTime", "eestUMains2LowForFine", "eestUMains2LowForFineHysterese",
    "eestUMains2High", "eestUMains2HighHysterese", "eestAssBoostFactor", "eestIMainsLimitAC1",
    "eestIInv2AES", "eestIInvAESHyst", "@eevs2onILoadHigh", "@eevs2tonILoadHigh", "@eevs2onUBatLow",
    "@eevs2tonUBatLow", "@eevs2offILoadLow", "@eevs2toffILoadLow", "@eevs2offUBat",
    "@eevs2toffUBat", "eestFlags#4", "eestFlags#6", "eestvllInverterPeriodTime",
    "eestUBatPreAlarmOffset", "eestBatteryCapacity", "eestChargePercentageResetValue",
    "@eefsUBatStart", "@eefstUBatStart", "@eefsUBatStop", "@eefstUBatStop", "@eevs2onSOC",
    "eestvllTempCompensation", "eestChargeEfficiency", "eestIInvLimitDuringAssist"};

TIdentifierClass ClassifyIdentifier(uint8_t id) {
  const int n = id & 127;
  if (n >= FirstRamVarID && n < FirstFlagID) return icRamVar;
  if (n >= FirstFlagID && n < FirstSettingID) return icFlag;
  if (n >= FirstSettingID && n <= LastSettingID) return icSetting;
  return icNone;
}

int IdentifierIndex(uint8_t id) {
  const int n = id & 127;
  switch (ClassifyIdentifier(id)) {
    case icRamVar:
      return n - FirstRamVarID;
    case icFlag:
      return n - FirstFlagID;
    case icSetting:
      return n - FirstSettingID;
    case icNone:
      break;
  }
  return 0;
}

QString IdentifierName(uint8_t id) {
  const int n = id & 127;
  return n < IdentifierCount ? QString::fromLatin1(IdentifierNames[n]) : QString();
}

int FindIdentifier(const QString& name) {
  int folded = -1;
  for (int id = 1; id < IdentifierCount; ++id) {
    const QString candidate = QString::fromLatin1(IdentifierNames[id]);
    if (candidate == name) return id;
    if (folded < 0 && candidate.compare(name, Qt::CaseInsensitive) == 0) folded = id;
  }
  return folded;
}

namespace {

// Edit distance over case-folded text; a typed name is compared with every
// known name, so plain dynamic programming over two rows is enough.
int EditDistance(const QString& a, const QString& b) {
  const QString x = a.toLower();
  const QString y = b.toLower();
  std::vector<int> previous(y.size() + 1);
  std::vector<int> current(y.size() + 1);
  for (qsizetype j = 0; j <= y.size(); ++j) previous[j] = static_cast<int>(j);
  for (qsizetype i = 1; i <= x.size(); ++i) {
    current[0] = static_cast<int>(i);
    for (qsizetype j = 1; j <= y.size(); ++j) {
      const int substitution = previous[j - 1] + (x[i - 1] == y[j - 1] ? 0 : 1);
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, substitution});
    }
    std::swap(previous, current);
  }
  return previous[y.size()];
}

// Names carry "@" and "_" prefixes that users tend to leave out.
QString StripPrefixes(const QString& name) {
  qsizetype start = 0;
  while (start < name.size() && (name[start] == u'@' || name[start] == u'_')) ++start;
  return name.mid(start);
}

}  // namespace

QStringList SuggestIdentifiers(const QString& name, int maxCount) {
  struct TCandidate {
    int Distance;
    int Id;
  };
  const QString typed = StripPrefixes(name.trimmed());
  if (typed.isEmpty() || maxCount <= 0) return {};
  std::vector<TCandidate> candidates;
  for (int id = 1; id < IdentifierCount; ++id) {
    const QString known = QString::fromLatin1(IdentifierNames[id]);
    const QString bare = StripPrefixes(known);
    int distance = EditDistance(typed, bare);
    if (bare.contains(typed, Qt::CaseInsensitive)) distance = std::min<int>(distance, 1);
    // Allow roughly one slip in three characters, at least two.
    const int allowed = std::max<int>(2, static_cast<int>(typed.size() / 3));
    if (distance <= allowed) candidates.push_back({distance, id});
  }
  std::stable_sort(
      candidates.begin(), candidates.end(),
      [](const TCandidate& l, const TCandidate& r) { return l.Distance < r.Distance; });
  QStringList result;
  for (const TCandidate& c : candidates) {
    if (result.size() >= maxCount) break;
    result << QString::fromLatin1(IdentifierNames[c.Id]);
  }
  return result;
}
