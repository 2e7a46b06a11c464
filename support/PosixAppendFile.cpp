// Durable appends with O_APPEND: the kernel places each write at the end of the
// file atomically, so lines of concurrent programs never interleave. O_NONBLOCK keeps
// the open of a FIFO from waiting; only a regular file takes the line.
// Every writer appends whole lines, so the file can end inside a line only after a
// crash; the last byte read just before the write tells.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "support/AppendFile.h"

namespace {

// True for an empty file too; false only when the last byte is readable and is not a
// line end.
bool EndsWithNewLine(int fd, off_t size) {
  char last = '\n';
  return size == 0 || ::pread(fd, &last, 1, size - 1) != 1 || last == '\n';
}

}  // namespace

bool AppendLineDurably(const QString& path, const std::string& line, std::string& error) {
  const QByteArray name = path.toLocal8Bit();
  const int fd =
      ::open(name.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    error = "not a regular file (a FIFO, device or folder)";
    ::close(fd);
    return false;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  // One write, so that the line end put before a crash's fragment never comes apart
  // from the line.
  const std::string whole = EndsWithNewLine(fd, info.st_size) ? line : "\n" + line;
  ssize_t written = -1;
  do {
    written = ::write(fd, whole.data(), whole.size());
  } while (written < 0 && errno == EINTR);
  bool ok = written == static_cast<ssize_t>(whole.size());
  if (!ok) error = written < 0 ? std::strerror(errno) : "the disk took only part of the line";
  if (ok && ::fsync(fd) != 0) {
    error = std::strerror(errno);
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    error = std::strerror(errno);
    ok = false;
  }
  return ok;
}
