// Start-up of the variable unit: its one string and the information cache.

#include <atomic>

#include "support/HardcodedStrings.h"
#include "variables/ExtendedVariable.h"
#include "variables/InfoCache.h"
#include "variables/VariableMath.h"

namespace {

struct TVariableStringIds {
  int32_t ReadError = -1;
};

TVariableStringIds StringIds;
std::atomic<bool> UnitStarted{false};
TInfoCache Cache;

}  // namespace

TInfoCache& InfoCache() {
  return Cache;
}

void ResetInfoCache() {
  Cache = TInfoCache{};
}

QString ReadErrorText() {
  static const QString text = QString::fromStdString(FetchText(StringIds.ReadError));
  return text;
}

void StartUnitExtendedVariable() {
  if (UnitStarted.exchange(true)) return;
  DeclareSection("", StringIds.ReadError, StringIds.ReadError);
  DefineString(StringIds.ReadError, skTextOnly, 0, 0,
               "bare error information when reading from device fails", {"Error during read"});
  ResetInfoCache();
}

void StopUnitExtendedVariable() {
  if (!UnitStarted.exchange(false)) return;
  ResetInfoCache();
}
