// Durable appends on Windows. A handle opened with FILE_APPEND_DATA (and without
// FILE_WRITE_DATA) places every write at the end of the file; the writers also hold
// an exclusive lock on one byte far beyond any real end of file while they look at
// the last byte and write, because not every file system makes the append itself
// atomic between handles. FlushFileBuffers puts the line on the disk.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

#include "support/AppendFile.h"
#include "support/SafeFiles.h"

namespace {

// The lock byte lies where no record file reaches, so readers are never in its way.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFF0;

std::string ErrorText(DWORD code) {
  return "Windows error " + std::to_string(code);
}

// True for an empty file too; false only when the last byte is readable and is not a
// line end (a line cut off by a crash).
bool EndsWithNewLine(HANDLE file) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size) || size.QuadPart == 0) return true;
  OVERLAPPED at{};
  const ULONGLONG last = static_cast<ULONGLONG>(size.QuadPart) - 1;
  at.Offset = static_cast<DWORD>(last & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(last >> 32);
  char byte = '\n';
  DWORD read = 0;
  return !ReadFile(file, &byte, 1, &read, &at) || read != 1 || byte == '\n';
}

bool WriteWhole(HANDLE file, const std::string& bytes, std::string& error) {
  DWORD written = 0;
  if (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size())
    return true;
  error = written ? "the disk took only part of the line" : ErrorText(GetLastError());
  return false;
}

bool AppendLocked(HANDLE file, const std::string& line, std::string& error) {
  if (!WriteWhole(file, EndsWithNewLine(file) ? line : "\n" + line, error)) return false;
  if (FlushFileBuffers(file)) return true;
  error = ErrorText(GetLastError());
  return false;
}

}  // namespace

bool AppendLineDurably(const QString& path, const std::string& line, std::string& error) {
  if (IsSpecialFile(path)) {
    error = "not a regular file (a device, pipe or folder)";
    return false;
  }
  const std::wstring name = path.toStdWString();
  HANDLE file = CreateFileW(name.c_str(), FILE_READ_DATA | FILE_APPEND_DATA | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = ErrorText(GetLastError());
    return false;
  }
  OVERLAPPED lockAt{};
  lockAt.OffsetHigh = kLockOffsetHigh;
  bool ok = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockAt);
  if (!ok) error = ErrorText(GetLastError());
  if (ok) {
    ok = AppendLocked(file, line, error);
    UnlockFileEx(file, 0, 1, 0, &lockAt);
  }
  CloseHandle(file);
  return ok;
}
