#pragma once
// Any baud rate on a Linux terminal line (7680 included), through the kernel's
// termios2 interface. Kept apart because the kernel's header clashes with <termios.h>.

// Sets input and output rate of the open terminal `fd`; false with errno set on failure.
bool SetLineBaud(int fd, int baud);
// The output rate of `fd`, or 0 when it cannot be read.
int GetLineBaud(int fd);
