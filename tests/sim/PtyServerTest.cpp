// The equipment served on a pseudo-terminal, as bxsim does.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

#include "sim/PtyServer.h"

namespace {

class TTerminal {
 public:
  explicit TTerminal(const std::string& path) : Fd(open(path.c_str(), O_RDWR | O_NOCTTY)) {}
  ~TTerminal() {
    if (Fd >= 0) close(Fd);
  }
  bool Ok() const { return Fd >= 0; }
  void Baud(speed_t speed) {
    termios t{};
    tcgetattr(Fd, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, speed);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 1;
    tcsetattr(Fd, TCSANOW, &t);
  }
  void Write(const TSimBytes& bytes) {
    ASSERT_EQ(write(Fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  TSimBytes Read(int rounds = 4) {  // rounds of 100 ms
    TSimBytes got;
    uint8_t buffer[64];
    for (int i = 0; i < rounds; ++i) {
      ssize_t n = read(Fd, buffer, sizeof buffer);
      if (n > 0) got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }

 private:
  int Fd;
};

TEST(SimPtyServer, AnswersAtTheRateTheProgramSets) {
  TSimOptions o;
  o.HeartbeatMs = 0;
  TSimPtyServer server(o);
  std::string error;
  ASSERT_TRUE(server.Open(&error)) << error;
  std::atomic<bool> stop{false};
  std::thread serving([&] { server.Run(stop); });
  {
    TTerminal term(server.Path());
    ASSERT_TRUE(term.Ok());
    term.Baud(B2400);
    term.Write({0x02, 0xFF, 0x56, 0xA9});
    EXPECT_EQ(term.Read(), (TSimBytes{0x07, 0xFF, 0x56, 0x94, 0x3E, 0x11, 0x00, 0x00, 0xC1}));
    term.Baud(B19200);  // the interface only listens at 2400 baud
    term.Write({0x02, 0xFF, 0x56, 0xA9});
    EXPECT_TRUE(term.Read(3).empty());
  }
  stop = true;
  serving.join();
}

}  // namespace
