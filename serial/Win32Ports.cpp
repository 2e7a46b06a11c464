// Port names and open-failure words on Windows.

#include <QByteArray>
#include <QFile>

#include "serial/PlatformPorts.h"

std::string PortArgumentForms() {
  return "a COM number (3, COM3) as the Device Manager shows it";
}

std::string BuiltInPortPath(int n) {
  return "\\\\.\\COM" + std::to_string(n);
}

bool WritePortFolderEntry(const QString& entry, const std::string& path) {
  QFile file(entry);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  const QByteArray line = QByteArray::fromStdString(path) + '\n';
  return file.write(line) == line.size() && file.flush();
}

std::string PermissionAdvice(const std::string&) {
  return {};
}

std::string SystemErrorWords(int error) {
  if (error == 0) return {};
  return " (system error " + std::to_string(error) + ")";
}
