#pragma once
// Named text values kept between runs, per user: on Windows the registry key
// "Software\Kalmeon Energy\<application title>", subkey "Settings"; elsewhere the
// per-user configuration store with the same company, application and group names.
// Values are stored escaped so that they never contain the characters 0 and 1, and
// round-trip byte for byte. A store into which nothing was written is removed again
// when the object is freed. A store that cannot be read or written gives empty
// readings and a logged warning. Main thread only.

#include <memory>
#include <string>

class QSettings;

class TStatic {
 public:
  TStatic(const std::string& company, const std::string& title);
  ~TStatic();
  TStatic(const TStatic&) = delete;
  TStatic& operator=(const TStatic&) = delete;

  // The stored value, unescaped; an empty text when absent or unreadable.
  std::string ReadSetting(const std::string& name);
  // Stores the value; false when the store could not be written (also logged).
  bool WriteSetting(const std::string& name, const std::string& text);

  const std::string Section = "Settings";

 private:
  bool StoreIsEmpty();
  void RemoveStore();

  std::unique_ptr<QSettings> Registry;
};

// The process's instance; created on first use with "Kalmeon Energy" and the
// application's title (QCoreApplication::applicationName()).
TStatic& GlobalSettings();
// Frees the current instance (if any) and creates a new one.
void ReplaceSettings(const std::string& company, const std::string& title);

// The stored form of a value and back.
std::string EscapeSetting(const std::string& text);
std::string UnescapeSetting(const std::string& stored);

void StartUnitSettings();
void StopUnitSettings();  // frees the instance (removing an untouched store)
