#pragma once
// The whole line setting of a Linux terminal in one call, through the kernel's
// termios2 interface: any baud rate (7680 included) together with parity, size and
// flags, so that the line never runs at an intermediate rate. Kept apart because the
// kernel's header clashes with <termios.h>.

// Raw 8-bit line, 1 stop bit, no flow control, receiver on, parity checking with
// parity marking, `parity` ('N', 'O', 'E', 'M', 'S') and exactly `baud` in and out.
// False with errno set on failure.
bool ApplyTermiosLine(int fd, int baud, char parity);
// What the device holds now: its output rate and parity letter. False with errno set
// when it cannot be read.
bool ReadTermiosLine(int fd, int* baud, char* parity);
// The output rate of `fd`, or 0 when it cannot be read.
int GetLineBaud(int fd);
