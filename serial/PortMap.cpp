#include "serial/PortMap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cstdlib>
#include <map>
#include <mutex>

#include "serial/PlatformPorts.h"

namespace {

constexpr int kFirstFreeNumber = 97;  // 1..96 may be the built-in table (PlatformPorts.h)

struct TRegistry {
  std::mutex Mutex;
  std::map<int, std::shared_ptr<TVirtualLine>> Lines;
  std::map<int, std::string> Paths;
};

TRegistry& Registry() {
  static TRegistry registry;
  return registry;
}

bool InRange(int n) {
  return n >= 1 && n <= MaxPortNumber;
}

QString FolderEntry(int n) {
  return QString::fromStdString(PortFolder()) + "/com" + QString::number(n);
}

// The folder's entry for n: a symbolic link's target, or the first line of a file.
std::string FolderPath(int n) {
  const QFileInfo entry(FolderEntry(n));
  if (entry.isSymLink()) return entry.symLinkTarget().toStdString();
  if (!entry.isFile()) return {};
  QFile file(entry.filePath());
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readLine(4096)).trimmed().toStdString();
}

// What n stands for, given the registry (held by the caller).
TPortTarget ResolveLocked(TRegistry& r, int n) {
  TPortTarget target;
  if (!InRange(n)) return target;
  if (auto line = r.Lines.find(n); line != r.Lines.end()) {
    target.Line = line->second;
    return target;
  }
  if (auto path = r.Paths.find(n); path != r.Paths.end()) {
    target.Path = path->second;
    return target;
  }
  target.Path = FolderPath(n);
  if (target.Path.empty()) target.Path = BuiltInPortPath(n);
  return target;
}

// Free for a new assignment: above the built-in table's Linux devices, and given
// to nothing by this process or the folder. (On Windows every number names a COM
// device; the numbers from 97 up are taken as free there too, as few machines
// have that many ports.)
int LowestFreeLocked(TRegistry& r) {
  for (int n = kFirstFreeNumber; n <= MaxPortNumber; ++n)
    if (!r.Lines.count(n) && !r.Paths.count(n) && FolderPath(n).empty()) return n;
  return 0;
}

}  // namespace

TPortTarget ResolvePort(int n) {
  TRegistry& r = Registry();
  std::lock_guard lock(r.Mutex);
  return ResolveLocked(r, n);
}

std::string PortPath(int n) {
  const TPortTarget target = ResolvePort(n);
  return target.Line ? std::string("virtual") : target.Path;
}

void RegisterVirtualPort(int n, std::shared_ptr<TVirtualLine> line) {
  if (!InRange(n)) return;
  TRegistry& r = Registry();
  std::lock_guard lock(r.Mutex);
  if (line) {
    r.Lines[n] = std::move(line);
  } else {
    r.Lines.erase(n);
  }
}

void UnregisterVirtualPort(int n) {
  RegisterVirtualPort(n, nullptr);
}

int RegisterVirtualPortAnywhere(std::shared_ptr<TVirtualLine> line) {
  if (!line) return 0;
  TRegistry& r = Registry();
  std::lock_guard lock(r.Mutex);
  const int n = LowestFreeLocked(r);
  if (n != 0) r.Lines[n] = std::move(line);
  return n;
}

void AssignPortPath(int n, const std::string& path) {
  if (!InRange(n)) return;
  TRegistry& r = Registry();
  std::lock_guard lock(r.Mutex);
  if (path.empty()) {
    r.Paths.erase(n);
  } else {
    r.Paths[n] = path;
  }
}

int AssignFreePortNumber(const std::string& path) {
  if (path.empty()) return 0;
  TRegistry& r = Registry();
  std::lock_guard lock(r.Mutex);
  for (int n = 1; n <= MaxPortNumber; ++n)
    if (ResolveLocked(r, n).Path == path) return n;
  const int n = LowestFreeLocked(r);
  if (n != 0) r.Paths[n] = path;
  return n;
}

void ClearPortAssignments() {
  TRegistry& r = Registry();
  std::lock_guard lock(r.Mutex);
  r.Lines.clear();
  r.Paths.clear();
}

std::string PortFolder() {
  if (const char* env = std::getenv("KALMEON_PORTS_DIR"); env && *env) return env;
  const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  return (config + "/Kalmeon Energy/ports").toStdString();
}

namespace {}  // namespace

bool LinkPortInFolder(int n, const std::string& path, std::string* error) {
  auto fail = [error](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (!InRange(n)) return fail("port number out of range: " + std::to_string(n));
  const QString folder = QString::fromStdString(PortFolder());
  if (!QDir().mkpath(folder)) return fail("cannot create " + folder.toStdString());
  const QString entry = FolderEntry(n);
  if (QFileInfo(entry).isSymLink() || QFileInfo::exists(entry)) QFile::remove(entry);
  if (!WritePortFolderEntry(entry, path)) return fail("cannot create " + entry.toStdString());
  return true;
}

bool UnlinkPortInFolder(int n) {
  if (!InRange(n)) return true;
  const QString entry = FolderEntry(n);
  if (!QFileInfo(entry).isSymLink() && !QFileInfo::exists(entry)) return true;
  return QFile::remove(entry);
}

std::string PortLookupWords(int n) {
  if (!InRange(n)) return {};
  {
    TRegistry& r = Registry();
    std::lock_guard lock(r.Mutex);
    if (r.Lines.count(n) || r.Paths.count(n)) return {};
  }
  const std::string entry = FolderEntry(n).toStdString();
  if (!FolderPath(n).empty()) return "It is named by the port folder's entry " + entry + ".";
  const std::string number = std::to_string(n);
  const std::string builtIn = BuiltInPortPath(n);
  return "The port folder " + PortFolder() + " has no entry com" + number +
         (builtIn.empty() ? ", and the built-in table has no device for " + number + "."
                          : "; " + builtIn + " is the built-in table's device for " + number + ".");
}

namespace {
bool PortMapStarted = false;
}

void StartUnitPortMap() {
  PortMapStarted = true;
}

void StopUnitPortMap() {
  if (!PortMapStarted) return;
  PortMapStarted = false;
  ClearPortAssignments();
}
