#include "support/Settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include "support/Platform.h"
#include "support/Textlogger.h"

namespace {

const char* const Company = "Kalmeon Energy";
std::unique_ptr<TStatic> Instance;

QString FromBytes(const std::string& bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string ToBytes(const QString& text) {
  const QByteArray bytes = text.toLatin1();
  return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

bool Usable(const QSettings& settings, const char* action) {
  if (settings.status() == QSettings::NoError) return true;
  const char* why = settings.status() == QSettings::AccessError ? "access denied" : "bad format";
  LogText(std::string("Settings store ") + settings.fileName().toStdString() + " cannot be " +
          action + ": " + why);
  return false;
}

}  // namespace

std::string EscapeSetting(const std::string& text) {
  std::string stored;
  stored.reserve(text.size());
  uint8_t k = 0;
  for (char c : text) {
    const auto value = static_cast<uint8_t>(c);
    while (static_cast<uint8_t>(value ^ k) <= 1) {
      stored += '\x01';
      ++k;  // wraps at 256
    }
    stored += static_cast<char>(value ^ k);
  }
  return stored;
}

std::string UnescapeSetting(const std::string& stored) {
  std::string text;
  text.reserve(stored.size());
  uint8_t k = 0;
  for (char c : stored) {
    const auto value = static_cast<uint8_t>(c);
    if (value == 1) {
      ++k;
      continue;
    }
    text += static_cast<char>(value ^ k);
  }
  return text;
}

TStatic::TStatic(const std::string& company, const std::string& title)
    : Registry(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                           QString::fromStdString(company),
                                           QString::fromStdString(title))) {
  Usable(*Registry, "read");
}

TStatic::~TStatic() {
  if (!Registry) return;
  Registry->sync();
  if (StoreIsEmpty()) RemoveStore();
  Registry.reset();
}

std::string TStatic::ReadSetting(const std::string& name) {
  if (!Usable(*Registry, "read")) return std::string();
  const QString key = QString::fromStdString(Section + "/" + name);
  const QVariant value = Registry->value(key);
  if (!value.isValid()) return std::string();
  return UnescapeSetting(ToBytes(value.toString()));
}

bool TStatic::WriteSetting(const std::string& name, const std::string& text) {
  if (!Usable(*Registry, "written")) return false;
  Registry->setValue(QString::fromStdString(Section + "/" + name), FromBytes(EscapeSetting(text)));
  Registry->sync();
  return Usable(*Registry, "written");
}

bool TStatic::StoreIsEmpty() {
  return Registry->status() == QSettings::NoError && Registry->allKeys().isEmpty();
}

void TStatic::RemoveStore() {
  RemoveSettingsStore(Registry);
}

TStatic& GlobalSettings() {
  if (!Instance) {
    std::string title = QCoreApplication::applicationName().toStdString();
    if (title.empty()) title = "calibrator";
    ReplaceSettings(Company, title);
  }
  return *Instance;
}

void ReplaceSettings(const std::string& company, const std::string& title) {
  Instance.reset();
  Instance = std::make_unique<TStatic>(company, title);
}

void StartUnitSettings() {}

void StopUnitSettings() {
  Instance.reset();
}
