#include "sim/PtyServer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {
constexpr int kPollMs = 2;
}  // namespace

TSimPtyServer::TSimPtyServer(TSimOptions options) : Options(std::move(options)) {
  Options.BurstEntersBootLoader = true;  // no break crosses a pseudo-terminal
  Set = std::make_unique<TSimEquipmentSet>(Options, *this);
}

TSimPtyServer::~TSimPtyServer() {
  Set->Stop();
  if (KeepSlave >= 0) close(KeepSlave);
  if (Master >= 0) close(Master);
}

bool TSimPtyServer::Open(std::string* error) {
  Master = posix_openpt(O_RDWR | O_NOCTTY);
  if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0) {
    if (error) *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  const char* name = ptsname(Master);
  SlavePath = name ? name : "";
  KeepSlave = open(SlavePath.c_str(), O_RDWR | O_NOCTTY);
  if (KeepSlave < 0) {
    if (error) *error = "cannot open " + SlavePath + ": " + std::strerror(errno);
    return false;
  }
  // Raw line on both sides until the program sets its own settings.
  struct termios t {};
  tcgetattr(KeepSlave, &t);
  cfmakeraw(&t);
  cfsetspeed(&t, B2400);
  tcsetattr(KeepSlave, TCSANOW, &t);
  fcntl(Master, F_SETFL, fcntl(Master, F_GETFL) | O_NONBLOCK);
  Set->Start();
  return true;
}

void TSimPtyServer::Emit(const std::vector<TWireByte>& chars, TLineTime start) {
  if (Vanished) return;
  std::lock_guard lock(OutMutex);
  TLineTime t = std::max({start, TLineClock::now(), WireFree});
  for (const TWireByte& c : chars) {
    if (Options.Paced) t += std::chrono::microseconds(TSimOutput::CharMicros(c.Baud, c.Ninth >= 0));
    // A character sent at another rate than the program's reads as garbage.
    uint8_t v = c.Value;
    if (c.Baud != 0 && Master >= 0 && SimPtyBaud(Master) != c.Baud)
      v = static_cast<uint8_t>(~v ^ 0x24);
    Pending.push_back({v, t});
  }
  WireFree = t;
}

void TSimPtyServer::CancelPending() {
  std::lock_guard lock(OutMutex);
  Pending.clear();
}

void TSimPtyServer::SetVanished(bool vanished) {
  Vanished = vanished;
  if (vanished) CancelPending();
}

void TSimPtyServer::ReadInput() {
  uint8_t buffer[256];
  for (;;) {
    ssize_t n = read(Master, buffer, sizeof buffer);
    if (n <= 0) return;
    if (Vanished) continue;
    int baud = SimPtyBaud(Master);
    TLineTime now = TLineClock::now();
    for (ssize_t i = 0; i < n; ++i) {
      // Bytes that came in one read left the program back to back.
      TLineTime at = now;
      if (Options.Paced) at += std::chrono::microseconds(TSimOutput::CharMicros(baud, false) * i);
      Set->OnByte(TWireByte{buffer[i], -1, baud}, at);
    }
  }
}

void TSimPtyServer::WriteDue() {
  std::vector<uint8_t> due;
  {
    std::lock_guard lock(OutMutex);
    TLineTime now = TLineClock::now();
    while (!Pending.empty() && Pending.front().Due <= now) {
      due.push_back(Pending.front().Value);
      Pending.pop_front();
    }
  }
  size_t done = 0;
  while (done < due.size()) {
    ssize_t n = write(Master, due.data() + done, due.size() - done);
    if (n <= 0) break;  // nobody reading: the bytes are lost, as on a wire
    done += static_cast<size_t>(n);
  }
}

void TSimPtyServer::Run(const std::atomic<bool>& stop) {
  TLineState last;
  while (!stop) {
    pollfd p{Master, POLLIN, 0};
    poll(&p, 1, kPollMs);
    if (p.revents & POLLIN) ReadInput();
    TLineState now;
    now.Open = true;
    now.Baud = SimPtyBaud(Master);
    if (now.Baud != last.Baud) Set->OnLine(now, TLineClock::now());
    last = now;
    WriteDue();
  }
}
