// The serial backend for a terminal device on Linux (and other POSIX systems).
//
// Exclusive use: a UUCP lock file (LCK..name in the lock folder, when that folder
// is writable) so that terminal programs see the port as busy, flock() so that a
// second opener in any process fails even as root, and TIOCEXCL for everybody else.
// Line errors come from parity marking: the line discipline puts FF 00 before a
// byte with a parity or framing error, FF 00 00 for a break, and doubles a real FF.
// The driver's error counters, read after a read that carried marks, tell the kinds
// of mark apart (see MarkClassifier.h).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <deque>
#include <string>
#include <thread>

#include "serial/MarkClassifier.h"
#include "serial/ParityMarkDecoder.h"
#include "serial/PosixTermios.h"
#include "serial/SerialBackend.h"

#include <linux/serial.h>

namespace {

using namespace std::chrono;

TSerialFault FaultOfOpenErrno(int e) {
  switch (e) {
    case EBUSY:
    case EWOULDBLOCK:
      return TSerialFault::sfInUse;
    case EACCES:
    case EPERM:
      return TSerialFault::sfPermissionDenied;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO:
    case ENOTDIR:
      return TSerialFault::sfNotFound;
    case ENOTTY:
      return TSerialFault::sfUnsupported;
    default:
      return TSerialFault::sfIo;
  }
}

bool IsGoneErrno(int e) {
  return e == EIO || e == ENXIO || e == ENODEV || e == EBADF;
}

std::string LockFolder() {
  if (const char* env = std::getenv("KALMEON_LOCK_DIR"); env && *env) return env;
  return "/var/lock";
}

// "LCK..ttyUSB0" for /dev/ttyUSB0, "LCK..pts_5" for /dev/pts/5.
std::string LockFileFor(const std::string& device) {
  char resolved[PATH_MAX];
  std::string name = realpath(device.c_str(), resolved) ? resolved : device;
  if (name.rfind("/dev/", 0) == 0) name.erase(0, 5);
  std::replace(name.begin(), name.end(), '/', '_');
  return LockFolder() + "/LCK.." + name;
}

bool ProcessAlive(pid_t pid) {
  return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

pid_t LockOwner(const std::string& file) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[32] = {};
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  return n > 0 ? static_cast<pid_t>(std::atol(text)) : 0;
}

// Takes the UUCP lock for `device`. Ok with *taken empty when the folder is not
// writable (then only flock and TIOCEXCL guard the port).
TSerialResult TakeLockFile(const std::string& device, std::string* taken) {
  taken->clear();
  if (access(LockFolder().c_str(), W_OK) != 0) return TSerialResult::Success();
  const std::string file = LockFileFor(device);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      std::string pid = std::to_string(getpid());
      const std::string line = std::string(pid.size() < 10 ? 10 - pid.size() : 0, ' ') + pid + "\n";
      const bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
      close(fd);
      if (!written) {
        unlink(file.c_str());
        return TSerialResult::Success();
      }
      *taken = file;
      return TSerialResult::Success();
    }
    if (errno != EEXIST) return TSerialResult::Success();  // cannot lock: rely on flock
    if (ProcessAlive(LockOwner(file))) return TSerialResult::Failure(TSerialFault::sfInUse, EBUSY);
    unlink(file.c_str());  // stale: its owner is gone
  }
  return TSerialResult::Failure(TSerialFault::sfInUse, EBUSY);
}

class TPosixBackend final : public TSerialBackend {
 public:
  ~TPosixBackend() override { Close(); }

  TSerialResult Open(const std::string& path) override {
    Close();
    std::string lockFile;
    if (auto r = TakeLockFile(path, &lockFile); !r.Ok()) return r;
    const TSerialResult opened = OpenDevice(path);
    if (!opened.Ok()) {
      if (!lockFile.empty()) unlink(lockFile.c_str());
      return opened;
    }
    LockFile = lockFile;
    Decoder.Reset();
    Received.clear();
    ReadCounters(&Counters);
    MarkCounters = Counters;
    Classifier.ForgetCounts();
    return opened;
  }

  void Close() override {
    if (Fd < 0) return;
    ioctl(Fd, TIOCNXCL);
    close(Fd);
    Fd = -1;
    if (!LockFile.empty()) unlink(LockFile.c_str());
    LockFile.clear();
    Received.clear();
  }

  bool IsOpen() const override { return Fd >= 0; }

  TSerialResult GetLine(TLineSettings& line) override {
    if (!ReadTermiosLine(Fd, &line.Baud, &line.Parity)) return Failed();
    int modem = 0;
    if (ioctl(Fd, TIOCMGET, &modem) == 0) {
      line.DtrOn = (modem & TIOCM_DTR) != 0;
      line.RtsOn = (modem & TIOCM_RTS) != 0;
    }
    return TSerialResult::Success();
  }

  TSerialResult SetLine(const TLineSettings& line) override {
    if (line.Baud <= 0) return TSerialResult::Failure(TSerialFault::sfUnsupported, EINVAL);
    if (!ApplyTermiosLine(Fd, line.Baud, line.Parity)) return Failed();
    Classifier.SetParity(line.Parity);
    // A line without modem control lines (a pseudo-terminal) is still usable.
    SetModemLine(TIOCM_DTR, line.DtrOn);
    SetModemLine(TIOCM_RTS, line.RtsOn);
    return TSerialResult::Success();
  }

  // The kernel's buffers are fixed; the sizes are only a wish.
  TSerialResult SetQueueSizes(uint32_t, uint32_t) override { return Usable(); }

  TReadOutcome Read(uint8_t* data, size_t count, const TReadPlan& plan) override;
  TWriteOutcome Write(const uint8_t* data, size_t count, TLineTime deadline) override;

  TSerialResult PurgeReceive() override {
    if (Fd < 0) return Usable();
    Received.clear();
    Decoder.Reset();
    Classifier.ForgetCounts();
    ReadCounters(&MarkCounters);
    return tcflush(Fd, TCIFLUSH) == 0 ? TSerialResult::Success() : Failed();
  }

  TSerialResult PurgeTransmit() override {
    if (Fd < 0) return Usable();
    return tcflush(Fd, TCOFLUSH) == 0 ? TSerialResult::Success() : Failed();
  }

  uint32_t TakeLineErrors() override {
    TCounters now;
    if (Fd < 0 || !ReadCounters(&now)) return 0;
    uint32_t errors = 0;
    if (now.Overrun != Counters.Overrun) errors |= leOverrun;
    if (now.BufferOverrun != Counters.BufferOverrun) errors |= leRxOverflow;
    Counters = now;
    return errors;
  }

  bool ReadErrorCounters(TErrorCounters& counters) override {
    TCounters now;
    if (Fd < 0 || !ReadCounters(&now)) return false;
    counters = now.Marks;
    return true;
  }

  TSerialResult SetDtr(bool on) override { return SetModemLine(TIOCM_DTR, on); }
  TSerialResult SetRts(bool on) override { return SetModemLine(TIOCM_RTS, on); }

  TSerialResult SetBreak(bool on) override {
    if (Fd < 0) return Usable();
    return ioctl(Fd, on ? TIOCSBRK : TIOCCBRK) == 0 ? TSerialResult::Success() : Failed();
  }

 private:
  struct TCounters {
    long Overrun = 0;
    long BufferOverrun = 0;
    TErrorCounters Marks;  // parity, framing, break
  };

  TSerialResult OpenDevice(const std::string& path);
  // Moves decoded bytes to the caller; returns how many.
  size_t TakeReceived(uint8_t* data, size_t count, uint32_t* errors);
  // Reads what the kernel has into Received. Ok when nothing was there.
  TSerialResult Fill();
  // Waits for input until `wake`; false when the wait ended without input.
  TSerialResult WaitInput(TLineTime wake, bool* ready);
  // Gives the marked bytes among decoded[0, count) their kinds.
  void ClassifyMarks(TDecodedByte* decoded, size_t count);

  TSerialResult Usable() const {
    return Fd >= 0 ? TSerialResult::Success() : TSerialResult::Failure(TSerialFault::sfIo, EBADF);
  }
  static TSerialResult Failed() {
    const int e = errno;
    return TSerialResult::Failure(
        IsGoneErrno(e) ? TSerialFault::sfDisconnected : TSerialFault::sfIo, e);
  }
  TSerialResult SetModemLine(int bit, bool on) {
    if (Fd < 0) return Usable();
    if (ioctl(Fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0) return TSerialResult::Success();
    if (errno == ENOTTY || errno == EINVAL)
      return TSerialResult::Failure(TSerialFault::sfUnsupported, errno);
    return Failed();
  }
  bool ReadCounters(TCounters* counters) const {
    serial_icounter_struct icount{};
    if (ioctl(Fd, TIOCGICOUNT, &icount) != 0) return false;
    counters->Overrun = icount.overrun;
    counters->BufferOverrun = icount.buf_overrun;
    counters->Marks = {icount.parity, icount.frame, icount.brk};
    return true;
  }

  int Fd = -1;
  std::string LockFile;
  TParityMarkDecoder Decoder;
  TMarkClassifier Classifier;
  std::deque<TDecodedByte> Received;
  TCounters Counters;      // for the overruns TakeLineErrors reports
  TCounters MarkCounters;  // as read after the last read that carried marks
};

TSerialResult TPosixBackend::OpenDevice(const std::string& path) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return TSerialResult::Failure(FaultOfOpenErrno(errno), errno);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    close(fd);
    return TSerialResult::Failure(e == EWOULDBLOCK ? TSerialFault::sfInUse : TSerialFault::sfIo, e);
  }
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    const int e = errno;
    close(fd);
    return TSerialResult::Failure(TSerialFault::sfUnsupported, e);
  }
  ioctl(fd, TIOCEXCL);
  Fd = fd;
  return TSerialResult::Success();
}

void TPosixBackend::ClassifyMarks(TDecodedByte* decoded, size_t count) {
  if (std::none_of(decoded, decoded + count, [](const TDecodedByte& b) { return b.Marked; }))
    return;
  TCounters now;
  if (ReadCounters(&now)) {  // a driver without counters leaves the line settings to decide
    const TErrorCounters& was = MarkCounters.Marks;
    Classifier.AddCounts(
        {now.Marks.Parity - was.Parity, now.Marks.Frame - was.Frame, now.Marks.Break - was.Break});
    MarkCounters = now;
  }
  Classifier.Classify(decoded, count);
}

size_t TPosixBackend::TakeReceived(uint8_t* data, size_t count, uint32_t* errors) {
  size_t got = 0;
  while (got < count && !Received.empty()) {
    data[got++] = Received.front().Value;
    *errors |= Received.front().Errors;
    Received.pop_front();
  }
  return got;
}

TSerialResult TPosixBackend::Fill() {
  uint8_t raw[512];
  TDecodedByte decoded[sizeof raw + 1];
  for (;;) {
    const ssize_t n = read(Fd, raw, sizeof raw);
    if (n > 0) {
      const size_t produced = Decoder.Feed(raw, static_cast<size_t>(n), decoded);
      ClassifyMarks(decoded, produced);
      Received.insert(Received.end(), decoded, decoded + produced);
      if (static_cast<size_t>(n) < sizeof raw) return TSerialResult::Success();
      continue;
    }
    if (n == 0) return TSerialResult::Failure(TSerialFault::sfDisconnected, 0);  // hung up
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return TSerialResult::Success();
    return IsGoneErrno(errno) ? TSerialResult::Failure(TSerialFault::sfDisconnected, errno)
                              : Failed();
  }
}

TSerialResult TPosixBackend::WaitInput(TLineTime wake, bool* ready) {
  *ready = false;
  pollfd p{Fd, POLLIN, 0};
  for (;;) {
    timespec limit{};
    timespec* limitPtr = nullptr;
    if (wake != TLineTime::max()) {
      const auto left = duration_cast<nanoseconds>(wake - TLineClock::now());
      if (left.count() <= 0) return TSerialResult::Success();
      limit.tv_sec = static_cast<time_t>(left.count() / 1000000000);
      limit.tv_nsec = static_cast<long>(left.count() % 1000000000);
      limitPtr = &limit;
    }
    const int r = ppoll(&p, 1, limitPtr, nullptr);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return Failed();
    if (r == 0) return TSerialResult::Success();
    if (p.revents & POLLNVAL) return TSerialResult::Failure(TSerialFault::sfDisconnected, EBADF);
    *ready = true;  // data, or a hang-up that the next read reports
    return TSerialResult::Success();
  }
}

TReadOutcome TPosixBackend::Read(uint8_t* data, size_t count, const TReadPlan& plan) {
  TReadOutcome out;
  if (Fd < 0) {
    out.Status = Usable();
    out.End = TReadEnd::reFailed;
    return out;
  }
  TLineTime lastArrival{};
  for (;;) {
    out.Status = Fill();
    const size_t took = TakeReceived(data + out.Count, count - out.Count, &out.Errors);
    if (took > 0) lastArrival = TLineClock::now();
    out.Count += took;
    if (out.Count == count) {
      out.End = TReadEnd::reComplete;
      return out;
    }
    if (!out.Status.Ok()) {
      out.End = TReadEnd::reFailed;
      return out;
    }
    if (out.Count > 0 && plan.ReturnAfterFirst) {
      out.End = TReadEnd::reGap;
      return out;
    }
    const TLineTime now = TLineClock::now();
    if (now >= plan.Deadline) {
      out.End = TReadEnd::reDeadline;
      return out;
    }
    TLineTime wake = plan.Deadline;
    if (out.Count > 0 && plan.Interval.count() > 0) {
      const TLineTime gapEnd = lastArrival + plan.Interval;
      if (now >= gapEnd) {
        out.End = TReadEnd::reGap;
        return out;
      }
      wake = std::min(wake, gapEnd);
    }
    bool ready = false;
    out.Status = WaitInput(wake, &ready);
    if (!out.Status.Ok()) {
      out.End = TReadEnd::reFailed;
      return out;
    }
  }
}

TWriteOutcome TPosixBackend::Write(const uint8_t* data, size_t count, TLineTime deadline) {
  TWriteOutcome out;
  out.Status = Usable();
  if (!out.Status.Ok()) return out;
  while (out.Count < count) {
    const ssize_t n = write(Fd, data + out.Count, count - out.Count);
    if (n > 0) {
      out.Count += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      out.Status = Failed();
      return out;
    }
    const auto left = duration_cast<milliseconds>(deadline - TLineClock::now()).count();
    if (left <= 0) {
      out.TimedOut = true;
      return out;
    }
    pollfd p{Fd, POLLOUT, 0};
    if (poll(&p, 1, static_cast<int>(std::min<int64_t>(left + 1, INT_MAX))) < 0 && errno != EINTR) {
      out.Status = Failed();
      return out;
    }
  }
  // The write is done when the last byte has left the transmitter; wait for the
  // output queue to drain, but never past the deadline (a stuck adapter).
  for (;;) {
    int queued = 0;
    if (ioctl(Fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return out;
    if (TLineClock::now() >= deadline) {
      out.TimedOut = true;
      return out;
    }
    std::this_thread::sleep_for(milliseconds(1));
  }
}

}  // namespace

std::unique_ptr<TSerialBackend> CreatePlatformBackend() {
  return std::make_unique<TPosixBackend>();
}
