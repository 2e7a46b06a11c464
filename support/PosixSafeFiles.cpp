// Opening without waiting: O_NONBLOCK makes the open of a FIFO return at once, and
// fstat then tells a regular file from anything else before a read or write waits.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <QDir>
#include <QFileInfo>

#include "support/SafeFiles.h"

namespace {

constexpr char kNotRegular[] = "not a regular file (a FIFO, device or folder)";

std::string SystemError() {
  return std::strerror(errno);
}

// Opens without waiting and keeps the descriptor only for a regular file; the
// descriptor is switched back to blocking for the ordinary reads and writes.
int OpenRegular(const QString& path, int flags, std::string& error, struct stat& info) {
  const QByteArray name = QFile::encodeName(path);
  const int fd = ::open(name.constData(), flags | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = errno == ENXIO ? kNotRegular : SystemError();
    return -1;
  }
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    error = S_ISREG(info.st_mode) ? SystemError() : kNotRegular;
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

bool WriteAll(int fd, const QByteArray& bytes) {
  qsizetype done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    done += n;
  }
  return true;
}

}  // namespace

bool OpenRegularFile(const QString& path, QFile& file, std::string& error, int64_t maxBytes) {
  struct stat info {};
  const int fd = OpenRegular(path, O_RDONLY, error, info);
  if (fd < 0) return false;
  if (maxBytes > 0 && info.st_size > maxBytes) {
    error = "larger than " + std::to_string(maxBytes) + " bytes";
    ::close(fd);
    return false;
  }
  if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
    error = file.errorString().toStdString();
    ::close(fd);
    return false;
  }
  return true;
}

std::FILE* OpenRegularFileForWriting(const QString& path, std::string& error) {
  struct stat info {};
  const int fd = OpenRegular(path, O_WRONLY | O_CREAT, error, info);
  if (fd < 0) return nullptr;
  std::FILE* file = ::ftruncate(fd, 0) == 0 ? ::fdopen(fd, "w") : nullptr;
  if (!file) {
    error = SystemError();
    ::close(fd);
  }
  return file;
}

bool IsSpecialFile(const QString& path) {
  struct stat info {};
  return ::stat(QFile::encodeName(path).constData(), &info) == 0 && !S_ISREG(info.st_mode);
}

bool ReplaceFileContents(const QString& path, const QByteArray& bytes, std::string& error) {
  struct stat info {};
  const QByteArray target = QFile::encodeName(path);
  if (::lstat(target.constData(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) {
    error = kNotRegular;
    return false;
  }
  const QFileInfo where(path);
  QByteArray temporary =
      QFile::encodeName(where.absolutePath() + "/." + where.fileName() + ".XXXXXX");
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    error = SystemError();
    return false;
  }
  // mkstemp makes the file private; a firmware file or description is not.
  bool ok = ::fchmod(fd, 0644) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
  if (!ok) error = SystemError();
  if (::close(fd) != 0 && ok) {
    error = SystemError();
    ok = false;
  }
  if (ok && ::rename(temporary.constData(), target.constData()) != 0) {
    error = SystemError();
    ok = false;
  }
  if (!ok) ::unlink(temporary.constData());
  return ok;
}
