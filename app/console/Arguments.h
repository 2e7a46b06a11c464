#pragma once
// The console's command line: one table declares every option once (its mode, the
// kind of value it takes, its help and what completion offers for the value). The
// parser and --help are made from it; the man page and the bash completion are
// checked against it.

#include <string>
#include <vector>

enum class TColourMode { Auto, Always, Never };
enum class TAnswerMode { Ask, Yes, No };

// What a run does. Chosen by the option given (Calibration when none is).
enum class TConsoleMode {
  Calibration,
  Loop,
  Get,
  Set,
  Update,
  LoopbackTest,
  History,
  DecodeTrace,
  ListNames,
  ListPorts,
  Version,
  Help,
};

struct TConsoleOptions {
  TConsoleMode Mode = TConsoleMode::Calibration;
  std::string Port;
  double TimeoutSeconds = 0;  // 0 = no limit
  TAnswerMode Answers = TAnswerMode::Ask;
  bool Loop = false;  // Mode == Loop
  bool Verbose = false;
  std::string TraceFile;
  TColourMode Colour = TColourMode::Auto;
  std::string GetName;        // --get NAME
  std::string SetAssignment;  // --set NAME=VALUE
  std::string RecordFile;     // --record FILE; empty: the default file; "-": none
  std::string HistoryFile;    // --history [FILE]; empty: the default file
  std::string Since;          // --since DATE
  std::string DecodeTrace;    // --decode-trace FILE
  bool Clamp = false;         // --set: store the nearest limit instead of refusing
  bool Exact = false;         // --set: refuse a value between two steps instead of rounding
  std::string UpdateFile;     // --update FILE
  int UpdateMethod = 6;       // --method N: the connection method unless the file names one
  bool Json = false;          // --get/--set: one JSON object on standard output; --history: records
  std::string NamePattern;    // --list-names [PATTERN]
};

// The kind of value an option takes.
enum class TOptionValue { None, Number, Port, FileToRead, FileToWrite, Name, Text };
// What the bash completion offers for the value.
enum class TCompletion { Nothing, Files, Ports, IdentifierNames, Words };

// A set of modes, one bit per TConsoleMode.
using TModeSet = unsigned;
constexpr TModeSet ModeBit(TConsoleMode mode) {
  return 1u << static_cast<unsigned>(mode);
}
constexpr TModeSet EveryMode = ~0u;

struct TConsoleOption {
  const char* Name;  // "--get"
  TOptionValue Value;
  const char* Placeholder;  // "NAME"; empty for an option without a value
  bool ValueOptional;       // "--history [FILE]": the next argument when it is no option
  TConsoleMode Chooses;     // the mode the option chooses; Calibration: none
  TModeSet GoesWith;        // the modes it may be given in
  TCompletion Completes;
  const char* Words;  // TCompletion::Words: the words offered
  const char* Help;   // one or more lines; --help shows it under the mode it chooses or
                      // else the first mode it goes with
  // Stores the value (or the flag); false with *error when the value is not usable.
  bool (*Apply)(const std::string& value, TConsoleOptions& options, std::string& error);
};

// Every option of calibrator-cli, in the order --help shows them within a mode.
const std::vector<TConsoleOption>& ConsoleOptionTable();
// The option called `name` ("--get"), or none.
const TConsoleOption* FindConsoleOption(const std::string& name);

// Parses the arguments (without the program name). False with *error (one line
// naming the problem) on bad usage; nothing is opened or read here.
bool ParseConsoleArguments(const std::vector<std::string>& args, TConsoleOptions& options,
                           std::string& error);
std::string ConsoleUsage();

// A port argument as a user may write it: a COM number 1..256 ("3", "COM3", "com3"),
// a device path (anything with a '/') or "sim".
bool IsPortArgument(const std::string& text);
// The number of "3", "COM3" or "com3" (digits only, 1..256); 0 for anything else.
unsigned ComNumber(const std::string& text);

// The console's case-blind comparisons (port names, option words, answers) use this.
std::string LowerAscii(std::string text);
