// The line rate a program set on the far side of a pseudo-terminal, read from the
// master through termios2 (which also carries rates such as 7680). Apart from the
// other sources because the kernel's header clashes with <termios.h>.
#include "sim/PtyServer.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

int SimPtyBaud(int fd) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  return static_cast<int>(t.c_ospeed);
}
