#pragma once
// The console's command line: the options a run is given, read from the arguments,
// and the usage text that explains them.

#include <string>
#include <vector>

enum class TColourMode { Auto, Always, Never };
enum class TAnswerMode { Ask, Yes, No };

struct TConsoleOptions {
  std::string Port;
  double TimeoutSeconds = 0;  // 0 = no limit
  TAnswerMode Answers = TAnswerMode::Ask;
  bool Loop = false;
  bool Verbose = false;
  std::string TraceFile;
  TColourMode Colour = TColourMode::Auto;
  std::string GetName;        // --get NAME
  std::string SetAssignment;  // --set NAME=VALUE
  std::string RecordFile;     // --record FILE; empty: the default file; "-": none
  bool History = false;       // --history [FILE]
  std::string HistoryFile;
  std::string Since;          // --since DATE
  std::string DecodeTrace;    // --decode-trace FILE
  bool LoopbackTest = false;  // --loopback-test
  bool Clamp = false;         // --set: store the nearest limit instead of refusing
  bool Exact = false;         // --set: refuse a value between two steps instead of rounding
  std::string UpdateFile;     // --update FILE
  int UpdateMethod = 6;       // --method N: the connection method unless the file names one
  bool Help = false;
  bool Version = false;
  bool Json = false;       // --get/--set: one JSON object on standard output; --history: records
  bool ListNames = false;  // --list-names [PATTERN]
  std::string NamePattern;
  bool ListPorts = false;  // --list-ports [--json]
};

// Parses the arguments (without the program name). False with *error on bad usage.
bool ParseConsoleArguments(const std::vector<std::string>& args, TConsoleOptions& options,
                           std::string& error);
std::string ConsoleUsage();

// The console's case-blind comparisons (port names, option words, answers) use this.
std::string LowerAscii(std::string text);
