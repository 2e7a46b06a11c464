// Durable appends on Windows: a handle opened with FILE_APPEND_DATA only makes
// every write land at the end of the file atomically, so lines of concurrent
// programs never interleave; FlushFileBuffers puts the line on the disk.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

#include "support/AppendFile.h"
#include "support/SafeFiles.h"

namespace {

std::string ErrorText(DWORD code) {
  return "Windows error " + std::to_string(code);
}

}  // namespace

bool AppendLineDurably(const QString& path, const std::string& line, std::string& error) {
  if (IsSpecialFile(path)) {
    error = "not a regular file (a device, pipe or folder)";
    return false;
  }
  const std::wstring name = path.toStdWString();
  HANDLE file = CreateFileW(name.c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = ErrorText(GetLastError());
    return false;
  }
  DWORD written = 0;
  bool ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
            written == line.size();
  if (!ok) error = written ? "the disk took only part of the line" : ErrorText(GetLastError());
  if (ok && !FlushFileBuffers(file)) {
    error = ErrorText(GetLastError());
    ok = false;
  }
  CloseHandle(file);
  return ok;
}
