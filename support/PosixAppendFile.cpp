// Durable appends with O_APPEND: the kernel places each write at the end of the
// file atomically, so lines of concurrent programs never interleave. O_NONBLOCK keeps
// the open of a FIFO from waiting for a reader; only a regular file takes the line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/AppendFile.h"

bool AppendLineDurably(const QString& path, const std::string& line, std::string& error) {
  const QByteArray name = path.toLocal8Bit();
  const int fd =
      ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) {
    error = errno == ENXIO ? "not a regular file (a FIFO)" : std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    error = "not a regular file (a FIFO, device or folder)";
    ::close(fd);
    return false;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  ssize_t written = -1;
  do {
    written = ::write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  bool ok = written == static_cast<ssize_t>(line.size());
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
