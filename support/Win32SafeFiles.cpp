// The Windows side: a path that is not a plain file (a device name, a pipe, a
// folder) is refused before it is opened; a file is replaced with MoveFileEx, which
// replaces a link rather than writing through it.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <QFileInfo>

#include "support/SafeFiles.h"

namespace {

constexpr char kNotRegular[] = "not a regular file (a device, pipe or folder)";

std::string ErrorText(DWORD code) {
  return "Windows error " + std::to_string(code);
}

bool IsPlainFile(const QString& path) {
  const QFileInfo info(path);
  return info.isFile() && !path.startsWith(QStringLiteral("\\\\.\\"));
}

}  // namespace

bool OpenRegularFile(const QString& path, QFile& file, std::string& error, int64_t maxBytes) {
  if (!IsPlainFile(path)) {
    error = QFileInfo::exists(path) ? kNotRegular : "no such file";
    return false;
  }
  file.setFileName(path);
  if (!file.open(QIODevice::ReadOnly)) {
    error = file.errorString().toStdString();
    return false;
  }
  if (maxBytes > 0 && file.size() > maxBytes) {
    error = "larger than " + std::to_string(maxBytes) + " bytes";
    file.close();
    return false;
  }
  return true;
}

std::FILE* OpenRegularFileForWriting(const QString& path, std::string& error) {
  if (IsSpecialFile(path)) {
    error = kNotRegular;
    return nullptr;
  }
  std::FILE* file = _wfopen(path.toStdWString().c_str(), L"wb");
  if (!file) error = "cannot open for writing";
  return file;
}

bool IsSpecialFile(const QString& path) {
  return QFileInfo::exists(path) && !IsPlainFile(path);
}

bool ReplaceFileContents(const QString& path, const QByteArray& bytes, std::string& error) {
  if (IsSpecialFile(path) && !QFileInfo(path).isSymLink()) {
    error = kNotRegular;
    return false;
  }
  const QString temporary = path + QStringLiteral(".new");
  const std::wstring name = temporary.toStdWString();
  HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = ErrorText(GetLastError());
    return false;
  }
  DWORD written = 0;
  bool ok =
      WriteFile(file, bytes.constData(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == static_cast<DWORD>(bytes.size()) && FlushFileBuffers(file);
  if (!ok) error = ErrorText(GetLastError());
  if (!CloseHandle(file) && ok) {
    error = ErrorText(GetLastError());
    ok = false;
  }
  if (ok && !MoveFileExW(name.c_str(), path.toStdWString().c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = ErrorText(GetLastError());
    ok = false;
  }
  if (!ok) DeleteFileW(name.c_str());
  return ok;
}
