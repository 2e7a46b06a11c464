#include "app/console/Arguments.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "serial/PortMap.h"

std::string LowerAscii(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

unsigned ComNumber(const std::string& text) {
  std::string digits = text;
  if (LowerAscii(digits).rfind("com", 0) == 0) digits = digits.substr(3);
  // Digits only: strtol alone would take " 3", "+3" and "3.5" for ports.
  if (digits.empty() || digits.size() > 3 || !std::all_of(digits.begin(), digits.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
      }))
    return 0;
  const int number = std::atoi(digits.c_str());
  return number >= 1 && number <= MaxPortNumber ? static_cast<unsigned>(number) : 0;
}

bool IsPortArgument(const std::string& text) {
  return LowerAscii(text) == "sim" || text.find('/') != std::string::npos || ComNumber(text) != 0;
}

namespace {

using M = TConsoleMode;
constexpr TModeSet PortModes = ModeBit(M::Calibration) | ModeBit(M::Loop) | ModeBit(M::Get) |
                               ModeBit(M::Set) | ModeBit(M::Update) | ModeBit(M::LoopbackTest);
constexpr TModeSet Calibrating = ModeBit(M::Calibration) | ModeBit(M::Loop);

bool Flag(const std::string&, TConsoleOptions&, std::string&) {
  return true;
}

bool ApplyPort(const std::string& value, TConsoleOptions& o, std::string& error) {
  if (!IsPortArgument(value)) {
    error = "not a port: '" + value + "' (give a COM number 1..256, a device path, or sim)";
    return false;
  }
  o.Port = value;
  return true;
}

bool ApplyTimeout(const std::string& value, TConsoleOptions& o, std::string& error) {
  char* end = nullptr;
  const double seconds = std::strtod(value.c_str(), &end);
  if (!end || *end != 0 || !(seconds > 0 && seconds < 1e7)) {
    error = "--timeout needs a positive number of seconds";
    return false;
  }
  o.TimeoutSeconds = seconds;
  return true;
}

bool ApplyColour(const std::string& value, TConsoleOptions& o, std::string& error) {
  if (value == "auto")
    o.Colour = TColourMode::Auto;
  else if (value == "always")
    o.Colour = TColourMode::Always;
  else if (value == "never")
    o.Colour = TColourMode::Never;
  else {
    error = "--color takes auto, always or never";
    return false;
  }
  return true;
}

bool ApplySet(const std::string& value, TConsoleOptions& o, std::string& error) {
  if (value.find('=') == std::string::npos) {
    error = "--set needs NAME=VALUE";
    return false;
  }
  o.SetAssignment = value;
  return true;
}

bool ApplyMethod(const std::string& value, TConsoleOptions& o, std::string& error) {
  if (value.size() != 1 || value[0] < '0' || value[0] > '6') {
    error = "--method takes 0..6";
    return false;
  }
  o.UpdateMethod = value[0] - '0';
  return true;
}

// Adding an option is adding one entry here (and its lines in the man page and the
// completion, which a test holds against this table).
const std::vector<TConsoleOption> Options = {
    {"--port", TOptionValue::Port, "PORT", false, M::Calibration, PortModes | ModeBit(M::History),
     TCompletion::Ports, "",
     "%PORTS%, or 'sim' for the built-in simulated interface and device; with\n"
     "--history: only that port's records",
     ApplyPort},
    {"--timeout", TOptionValue::Number, "S", false, M::Calibration,
     Calibrating | ModeBit(M::Get) | ModeBit(M::Set), TCompletion::Nothing, "",
     "give up after S seconds without a device done (exit status 3)", ApplyTimeout},
    {"--yes", TOptionValue::None, "", false, M::Calibration, Calibrating | ModeBit(M::Update),
     TCompletion::Nothing, "", "answer every question Yes/OK",
     [](const std::string&, TConsoleOptions& o, std::string&) {
       o.Answers = TAnswerMode::Yes;
       return true;
     }},
    {"--no", TOptionValue::None, "", false, M::Calibration, Calibrating | ModeBit(M::Update),
     TCompletion::Nothing, "",
     "answer every question No/Cancel; without --yes or --no the questions are asked\n"
     "on the terminal (No/Cancel without one)",
     [](const std::string&, TConsoleOptions& o, std::string&) {
       o.Answers = TAnswerMode::No;
       return true;
     }},
    {"--record", TOptionValue::FileToWrite, "FILE", false, M::Calibration, Calibrating,
     TCompletion::Files, "",
     "append each device's calibration record to FILE instead of the default file;\n"
     "'--record -' writes none",
     [](const std::string& v, TConsoleOptions& o, std::string&) {
       o.RecordFile = v;
       return true;
     }},
    {"--json", TOptionValue::None, "", false, M::Calibration,
     Calibrating | ModeBit(M::Get) | ModeBit(M::Set) | ModeBit(M::History) | ModeBit(M::ListPorts),
     TCompletion::Nothing, "",
     "one JSON object per device on standard output (its calibration record), the log\n"
     "on standard error; with --get, --set: the value (ok, message, name, value, raw,\n"
     "scale, minimum, maximum); with --history: the records themselves; with\n"
     "--list-ports: one object per port",
     [](const std::string&, TConsoleOptions& o, std::string&) {
       o.Json = true;
       return true;
     }},
    {"--loop", TOptionValue::None, "", false, M::Loop, ModeBit(M::Loop), TCompletion::Nothing, "",
     "one calibration per unit, until interrupted: after a unit the port is watched\n"
     "without writing; the next unit is one that answers after the last has not\n"
     "answered for 1.5 s",
     [](const std::string&, TConsoleOptions& o, std::string&) {
       o.Loop = true;
       return true;
     }},
    {"--get", TOptionValue::Name, "NAME", false, M::Get, ModeBit(M::Get),
     TCompletion::IdentifierNames, "", "print one device value by its identifier name",
     [](const std::string& v, TConsoleOptions& o, std::string&) {
       o.GetName = v;
       return true;
     }},
    {"--set", TOptionValue::Text, "NAME=VALUE", false, M::Set, ModeBit(M::Set),
     TCompletion::IdentifierNames, "",
     "write one device value by its identifier name, verified; a value outside the\n"
     "device's limits is refused, one between two steps is stored at the nearest step",
     ApplySet},
    {"--clamp", TOptionValue::None, "", false, M::Calibration, ModeBit(M::Set),
     TCompletion::Nothing, "", "store the nearest limit instead of refusing",
     [](const std::string&, TConsoleOptions& o, std::string&) {
       o.Clamp = true;
       return true;
     }},
    {"--exact", TOptionValue::None, "", false, M::Calibration, ModeBit(M::Set),
     TCompletion::Nothing, "", "refuse a value between two steps instead of rounding",
     [](const std::string&, TConsoleOptions& o, std::string&) {
       o.Exact = true;
       return true;
     }},
    {"--update", TOptionValue::FileToRead, "FILE", false, M::Update, ModeBit(M::Update),
     TCompletion::Files, "",
     "program the device's firmware from a firmware file, carrying its calibration\n"
     "over (exit status 3: no boot loader answered)",
     [](const std::string& v, TConsoleOptions& o, std::string&) {
       o.UpdateFile = v;
       return true;
     }},
    {"--method", TOptionValue::Number, "N", false, M::Calibration, ModeBit(M::Update),
     TCompletion::Words, "0 1 2 3 4 5 6",
     "boot loader connection method 0..6 when the file names none (6)", ApplyMethod},
    {"--loopback-test", TOptionValue::None, "", false, M::LoopbackTest, ModeBit(M::LoopbackTest),
     TCompletion::Nothing, "", "check the adapter with a loopback plug (pins 2 and 3 wired)", Flag},
    {"--history", TOptionValue::FileToRead, "FILE", true, M::History, ModeBit(M::History),
     TCompletion::Files, "", "the calibration records as a table (default: the default file)",
     [](const std::string& v, TConsoleOptions& o, std::string&) {
       o.HistoryFile = v;
       return true;
     }},
    {"--since", TOptionValue::Text, "DATE", false, M::Calibration, ModeBit(M::History),
     TCompletion::Nothing, "", "only the records from DATE on (2024-05-31 or a time)",
     [](const std::string& v, TConsoleOptions& o, std::string&) {
       o.Since = v;
       return true;
     }},
    {"--decode-trace", TOptionValue::FileToRead, "FILE", false, M::DecodeTrace,
     ModeBit(M::DecodeTrace), TCompletion::Files, "", "a --trace file frame by frame, in words",
     [](const std::string& v, TConsoleOptions& o, std::string&) {
       o.DecodeTrace = v;
       return true;
     }},
    {"--list-names", TOptionValue::Text, "PATTERN", true, M::ListNames, ModeBit(M::ListNames),
     TCompletion::IdentifierNames, "",
     "the identifier names (variable, flag or setting), all or those containing\n"
     "PATTERN (or matching it, with * and ?)",
     [](const std::string& v, TConsoleOptions& o, std::string&) {
       o.NamePattern = v;
       return true;
     }},
    {"--list-ports", TOptionValue::None, "", false, M::ListPorts, ModeBit(M::ListPorts),
     TCompletion::Nothing, "",
     "every port number that has a device: its path, whether another program holds it, "
     "the USB adapter's ids, maker, product and serial number",
     Flag},
    {"--verbose", TOptionValue::None, "", false, M::Calibration, EveryMode, TCompletion::Nothing,
     "", "diagnostic lines on standard error",
     [](const std::string&, TConsoleOptions& o, std::string&) {
       o.Verbose = true;
       return true;
     }},
    {"--trace", TOptionValue::FileToWrite, "FILE", false, M::Calibration, PortModes,
     TCompletion::Files, "",
     "with a port: every byte sent and received, with time, direction and baud",
     [](const std::string& v, TConsoleOptions& o, std::string&) {
       o.TraceFile = v;
       return true;
     }},
    {"--color", TOptionValue::Name, "MODE", false, M::Calibration, EveryMode, TCompletion::Words,
     "auto always never",
     "colours: auto (on a terminal, unless NO_COLOR is set or TERM is dumb),\n"
     "always or never",
     ApplyColour},
    {"--version", TOptionValue::None, "", false, M::Version, ModeBit(M::Version),
     TCompletion::Nothing, "", "the program version and the interface image's version", Flag},
    {"--help", TOptionValue::None, "", false, M::Help, EveryMode, TCompletion::Nothing, "",
     "this text", Flag},
};

bool TakesValue(const TConsoleOption& option) {
  return option.Value != TOptionValue::None;
}

// What names a mode in a message: the option that chooses it.
std::string ModeWords(TConsoleMode mode) {
  for (const TConsoleOption& option : Options)
    if (option.Chooses == mode && mode != M::Calibration) return option.Name;
  return "a calibration";
}

// The only mode an option goes with, or Help when it goes with several.
TConsoleMode SoleMode(const TConsoleOption& option) {
  for (unsigned bit = 0; bit <= static_cast<unsigned>(M::Help); ++bit)
    if (option.GoesWith == (1u << bit)) return static_cast<TConsoleMode>(bit);
  return M::Help;
}

std::string MisplacedOption(const TConsoleOption& option, TConsoleMode mode) {
  const TConsoleMode sole = SoleMode(option);
  if (sole != M::Help && sole != M::Calibration)
    return std::string(option.Name) + " needs " + ModeWords(sole);
  return std::string(option.Name) + " does not go with " + ModeWords(mode);
}

bool LooksLikeOption(const std::string& arg) {
  return arg.rfind("--", 0) == 0 || arg == "-h" || LowerAscii(arg) == "|usestringcomments";
}

// Reads the value of `option` at args[i]: "--name=VALUE", "--name VALUE", or for an
// optional value nothing when the next argument is an option. An empty value is
// refused: a script's unset variable must not change what the run does.
bool TakeValue(const TConsoleOption& option, const std::vector<std::string>& args, size_t& i,
               const std::string* inlineValue, std::string& value, std::string& error) {
  const std::string name = option.Name;
  if (inlineValue) {
    value = *inlineValue;
  } else if (i + 1 < args.size() && !LooksLikeOption(args[i + 1])) {
    value = args[++i];
  } else if (option.ValueOptional) {
    return true;
  } else {
    error = name + " needs " + option.Placeholder;
    return false;
  }
  if (value.empty()) {
    error = name + " needs " + option.Placeholder + ", not an empty value";
    return false;
  }
  return true;
}

// Reads one argument at args[i] into *options; the option is added to `given`.
bool ParseOne(const std::vector<std::string>& args, size_t& i, TConsoleOptions& options,
              std::vector<const TConsoleOption*>& given, std::string& error) {
  const std::string arg = args[i] == "-h" ? "--help" : args[i];
  const size_t equals = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
  const std::string name = arg.substr(0, equals);
  const TConsoleOption* option = FindConsoleOption(name);
  if (!option) {
    error = (arg.rfind("-", 0) == 0 ? "unknown option: " : "unexpected argument: ") + arg;
    return false;
  }
  if (std::find(given.begin(), given.end(), option) != given.end()) {
    error = name + " given twice";
    return false;
  }
  const std::string inlineText = equals == std::string::npos ? "" : arg.substr(equals + 1);
  const std::string* inlineValue = equals == std::string::npos ? nullptr : &inlineText;
  std::string value;
  if (!TakesValue(*option) && inlineValue) {
    error = name + " takes no value";
    return false;
  }
  if (TakesValue(*option) && !TakeValue(*option, args, i, inlineValue, value, error)) return false;
  given.push_back(option);
  return option->Apply(value, options, error);
}

// The mode of the options given: at most one chooses one.
bool ChooseMode(const std::vector<const TConsoleOption*>& given, TConsoleOptions& options,
                std::string& error) {
  const TConsoleOption* chooser = nullptr;
  for (const TConsoleOption* option : given) {
    if (option->Chooses == M::Calibration || option->Chooses == M::Help) continue;
    if (chooser) {
      error = std::string(chooser->Name) + " and " + option->Name + " exclude each other";
      return false;
    }
    chooser = option;
  }
  options.Mode = chooser ? chooser->Chooses : M::Calibration;
  return true;
}

bool OptionsFitTheMode(const std::vector<const TConsoleOption*>& given,
                       const TConsoleOptions& options, std::string& error) {
  if (std::count_if(given.begin(), given.end(), [](const TConsoleOption* o) {
        return std::string(o->Name) == "--yes" || std::string(o->Name) == "--no";
      }) > 1) {
    error = "--yes and --no exclude each other";
    return false;
  }
  for (const TConsoleOption* option : given) {
    if (option->GoesWith & ModeBit(options.Mode)) continue;
    error = MisplacedOption(*option, options.Mode);
    return false;
  }
  if ((PortModes & ModeBit(options.Mode)) && options.Port.empty()) {
    error = options.Mode == M::Calibration ? "--port is required"
                                           : ModeWords(options.Mode) + " needs --port";
    return false;
  }
  return true;
}

}  // namespace

const std::vector<TConsoleOption>& ConsoleOptionTable() {
  return Options;
}

const TConsoleOption* FindConsoleOption(const std::string& name) {
  for (const TConsoleOption& option : Options)
    if (name == option.Name) return &option;
  return nullptr;
}

bool ParseConsoleArguments(const std::vector<std::string>& args, TConsoleOptions& options,
                           std::string& error) {
  std::vector<const TConsoleOption*> given;
  for (size_t i = 0; i < args.size(); ++i) {
    // The string table's diagnostic switch: read by the table itself when it starts.
    if (LowerAscii(args[i]) == "|usestringcomments") continue;
    if (!ParseOne(args, i, options, given, error)) return false;
  }
  if (std::find(given.begin(), given.end(), FindConsoleOption("--help")) != given.end()) {
    options.Mode = M::Help;
    return true;
  }
  return ChooseMode(given, options, error) && OptionsFitTheMode(given, options, error);
}
