#pragma once
// The settings tests' per-user store: a file under a temporary folder on POSIX, the
// user's registry on Windows. The platform's test file (PosixPlatformTest.cpp,
// Win32PlatformTest.cpp) says where a store lives and how to clean it.

#include <gtest/gtest.h>

#include <QSettings>
#include <QString>
#include <QTemporaryDir>

#include "support/Settings.h"

// Removes what the tests may have left in the user's registry (nothing to do where
// the store lives under the temporary folder).
void RemoveTestStores();
// Whether the store of `title` exists, under the temporary folder `root`.
bool TestStoreExists(const QString& root, const char* title);
// The value of `key` as the store of `title` holds it, without the settings class.
QString TestStoreValue(const QString& root, const char* title, const char* key);

class StaticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Store.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, Store.path());
    RemoveTestStores();
  }
  void TearDown() override {
    StopUnitSettings();
    RemoveTestStores();
  }
  bool StoreExists(const char* title) const { return TestStoreExists(Store.path(), title); }
  QString RawValue(const char* title, const char* key) const {
    return TestStoreValue(Store.path(), title, key);
  }
  QTemporaryDir Store;
};
