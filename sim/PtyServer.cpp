#include "sim/PtyServer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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
  CloseTerminal();
}

bool TSimPtyServer::Open(std::string* error) {
  if (!OpenTerminal(error)) return false;
  Set->Start();
  return true;
}

bool TSimPtyServer::OpenTerminal(std::string* error) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    if (error) *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    if (master >= 0) close(master);
    return false;
  }
  const char* name = ptsname(master);
  SlavePath = name ? name : "";
  KeepSlave = open(SlavePath.c_str(), O_RDWR | O_NOCTTY);
  if (KeepSlave < 0) {
    if (error) *error = "cannot open " + SlavePath + ": " + std::strerror(errno);
    close(master);
    return false;
  }
  // Raw line on both sides until the program sets its own settings.
  struct termios t {};
  tcgetattr(KeepSlave, &t);
  cfmakeraw(&t);
  cfsetspeed(&t, B2400);
  tcsetattr(KeepSlave, TCSANOW, &t);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  Master = master;
  return true;
}

// Both sides closed: the program holding the terminal sees it hang up, as when a
// USB adapter is pulled.
void TSimPtyServer::CloseTerminal() {
  const int master = Master.exchange(-1);
  CancelPending();
  if (KeepSlave >= 0) close(KeepSlave);
  KeepSlave = -1;
  if (master >= 0) close(master);
}

void TSimPtyServer::SetPlugSchedule(TSimPlugSchedule schedule,
                                    std::function<void(const std::string&)> onPlug) {
  Schedule = schedule;
  OnPlug = std::move(onPlug);
}

bool TSimPtyServer::UnplugDue() {
  if (!Schedule.Any() || UnpluggedAt || Replugged) return false;
  if (Schedule.UnplugAfterMs >= 0 && FirstInput &&
      TLineClock::now() - *FirstInput >= std::chrono::milliseconds(Schedule.UnplugAfterMs))
    return true;
  if (Schedule.UnplugAfterWrites < 0) return false;
  size_t writes = 0;
  Set->With([&writes](TSimEquipmentSet::TParts& p) { writes = p.Device.Writes().size(); });
  return writes >= static_cast<size_t>(Schedule.UnplugAfterWrites);
}

void TSimPtyServer::FollowSchedule() {
  if (UnplugDue()) {
    CloseTerminal();
    UnpluggedAt = TLineClock::now();
    if (OnPlug) OnPlug("");
    return;
  }
  if (!UnpluggedAt || Schedule.ReplugAfterMs < 0 ||
      TLineClock::now() - *UnpluggedAt < std::chrono::milliseconds(Schedule.ReplugAfterMs))
    return;
  UnpluggedAt.reset();
  Replugged = true;
  std::string error;
  if (!OpenTerminal(&error)) {
    std::fprintf(stderr, "bxsim: %s\n", error.c_str());
    return;
  }
  if (OnPlug) OnPlug(SlavePath);
}

void TSimPtyServer::Emit(const std::vector<TWireByte>& chars, TLineTime start) {
  const int master = Master;
  if (Vanished || master < 0) return;
  std::lock_guard lock(OutMutex);
  TLineTime t = std::max({start, TLineClock::now(), WireFree});
  for (const TWireByte& c : chars) {
    if (Options.Paced) t += std::chrono::microseconds(TSimOutput::CharMicros(c.Baud, c.Ninth >= 0));
    // A character sent at another rate than the program's reads as garbage.
    uint8_t v = c.Value;
    if (c.Baud != 0 && master >= 0 && SimPtyBaud(master) != c.Baud)
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
    if (!FirstInput) FirstInput = TLineClock::now();
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
    FollowSchedule();
    if (Master < 0) {  // pulled: nothing to serve until it is back
      poll(nullptr, 0, kPollMs);
      continue;
    }
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
