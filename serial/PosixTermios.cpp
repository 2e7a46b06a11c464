#include "serial/PosixTermios.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace {

tcflag_t ParityFlags(char parity) {
  switch (parity) {
    case 'O':
      return PARENB | PARODD;
    case 'E':
      return PARENB;
    case 'M':
      return PARENB | CMSPAR | PARODD;
    case 'S':
      return PARENB | CMSPAR;
    default:
      return 0;
  }
}

char ParityOf(tcflag_t cflag) {
  if (!(cflag & PARENB)) return 'N';
  if (cflag & CMSPAR) return (cflag & PARODD) ? 'M' : 'S';
  return (cflag & PARODD) ? 'O' : 'E';
}

}  // namespace

bool ApplyTermiosLine(int fd, int baud, char parity) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_iflag = INPCK | PARMRK;  // mark bad bytes; no translation, no flow control
  tio.c_oflag = 0;
  tio.c_lflag = 0;
  tio.c_cflag = CS8 | CREAD | CLOCAL | HUPCL | ParityFlags(parity) | BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = static_cast<speed_t>(baud);
  tio.c_ospeed = static_cast<speed_t>(baud);
  tio.c_cc[VMIN] = 1;  // so that an empty non-blocking read says EAGAIN, not end of file
  tio.c_cc[VTIME] = 0;
  return ioctl(fd, TCSETS2, &tio) == 0;
}

bool ReadTermiosLine(int fd, int* baud, char* parity) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  *baud = static_cast<int>(tio.c_ospeed);
  *parity = ParityOf(tio.c_cflag);
  return true;
}

int GetLineBaud(int fd) {
  int baud = 0;
  char parity = 0;
  return ReadTermiosLine(fd, &baud, &parity) ? baud : 0;
}
