#pragma once
// calibrator-cli --decode-trace: a --trace file told frame by frame in words. The
// frames are taken apart by the same functions the drivers use (the BX2 frame
// checks and device-reply split, detection's raw frame parser, the boot loader's
// reply framings); bytes that form no frame are shown as noise, a frame cut off by
// the end of the trace as cut off. Nothing in a trace is an error.

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

struct TTraceBurst;

// One line of a trace: "   123.456 TX   2400 N 02 FF 56 A9[ errors=N]".
struct TTraceLine {
  double Ms = 0;
  bool Sent = false;
  int Baud = 0;
  char Parity = 'N';
  std::string Bytes;
  int Errors = 0;
};

// The trace line of one burst on the line, `ms` after the trace began (with '\n').
std::string TraceLineText(double ms, const TTraceBurst& burst);
// Reads one trace line; false for a line that is not a burst.
bool ParseTraceLine(std::string_view line, TTraceLine& burst);

// Decodes a whole trace's text into the lines to print.
std::vector<std::string> DecodeTrace(std::string_view text);

// Prints the decoded trace; returns the exit status (0, or 4 when unreadable).
int RunDecodeTrace(const std::string& path, FILE* out, FILE* err);
