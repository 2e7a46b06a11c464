// What the support layer does its own way on Windows: the settings store is a key of
// the user's registry; line breaks are CR LF.

#include <gtest/gtest.h>

#include <QSettings>
#include <QString>

#include "support/Tools.h"
#include "tests/support/SettingsTestSupport.h"

// ---- the settings store: one registry key per title -------------------------------------

namespace {

const char* const CompanyKey = "HKEY_CURRENT_USER\\Software\\Kalmeon Energy";

}  // namespace

void RemoveTestStores() {
  QSettings company(CompanyKey, QSettings::NativeFormat);
  for (const char* title : {"RoundTrip", "Untouched", "Written", "Other"}) company.remove(title);
}

bool TestStoreExists(const QString& /*root*/, const char* title) {
  QSettings company(CompanyKey, QSettings::NativeFormat);
  return company.childGroups().contains(title);
}

QString TestStoreValue(const QString& /*root*/, const char* title, const char* key) {
  const QString titleKey = QString(CompanyKey) + "\\" + title;
  return QSettings(titleKey, QSettings::NativeFormat).value(key).toString();
}

// ---- line breaks ----------------------------------------------------------------------

TEST(AdjustLineBreaks, EveryBreakBecomesOneCarriageReturnLineFeed) {
  EXPECT_EQ(AdjustLineBreaks("a\rb\r\nc\nd\r\r"), "a\r\nb\r\nc\r\nd\r\n\r\n");
}
