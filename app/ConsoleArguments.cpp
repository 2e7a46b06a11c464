#include "app/ConsoleArguments.h"

#include <cctype>
#include <cstdlib>

#include "serial/PlatformPorts.h"

std::string LowerAscii(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

namespace {

bool ParseTimeout(const std::string& text, double& seconds) {
  char* end = nullptr;
  seconds = std::strtod(text.c_str(), &end);
  return !text.empty() && end && *end == 0 && seconds > 0 && seconds < 1e7;
}

// Reads the value of an option given as "--name VALUE" or "--name=VALUE".
bool TakeValue(const std::vector<std::string>& args, size_t& i, const std::string& name,
               std::string& value, bool& matched) {
  const std::string& arg = args[i];
  matched = false;
  if (arg == name) {
    matched = true;
    if (i + 1 >= args.size()) return false;
    value = args[++i];
    return true;
  }
  if (arg.rfind(name + "=", 0) == 0) {
    matched = true;
    value = arg.substr(name.size() + 1);
    return true;
  }
  return true;
}

}  // namespace

std::string ConsoleUsage() {
  return "Usage: calibrator-cli --port PORT [--timeout SECONDS] [--yes | --no] [--loop]\n"
         "                      [--verbose] [--trace FILE] [--color auto|always|never]\n"
         "       calibrator-cli --port PORT --get NAME [--json]\n"
         "       calibrator-cli --port PORT --set NAME=VALUE [--clamp] [--exact] [--json]\n"
         "       calibrator-cli --list-names [PATTERN]\n"
         "       calibrator-cli --list-ports [--json]\n"
         "       calibrator-cli --history [FILE] [--since DATE] [--port PORT] [--json]\n"
         "       calibrator-cli --decode-trace FILE\n"
         "       calibrator-cli --port PORT --update FILE [--method N] [--yes | --no]\n"
         "       calibrator-cli --port PORT --loopback-test\n"
         "       calibrator-cli --help | --version\n"
         "\n"
         "Finds the BX2 or BX1 interface on PORT, brings the BX2's firmware up to date when\n"
         "needed, reads the device's firmware version and applies the calibration correction.\n"
         "\n"
         "  --port PORT      " +
         PortArgumentForms() +
         ", or 'sim'\n"
         "                   for the built-in simulated interface and device\n"
         "  --timeout S      give up after S seconds without a device done (exit status 3)\n"
         "  --yes, --no      answer every question Yes/OK or No/Cancel; without either the\n"
         "                   questions are asked on the terminal (No/Cancel without one)\n"
         "  --loop           one calibration per unit, until interrupted: after a unit the\n"
         "                   port is watched without writing; the next unit is one that\n"
         "                   answers after the last has not answered for 1.5 s\n"
         "  --verbose        diagnostic lines on standard error\n"
         "  --trace FILE     every byte sent and received, with time, direction and baud\n"
         "  --color MODE     colours in the log: auto (when a terminal), always, never\n"
         "  --get NAME       print one device value by its identifier name\n"
         "  --set NAME=VALUE write one device value by its identifier name, verified; a value\n"
         "                   outside the device's limits is refused, one between two steps\n"
         "                   is stored at the nearest step\n"
         "  --clamp          --set: store the nearest limit instead of refusing\n"
         "  --json           --get, --set: one JSON object on standard output (ok, message,\n"
         "                   name, value, raw, scale, minimum, maximum), the line on stderr;\n"
         "                   a calibration: one object per device (its calibration record:\n"
         "                   result, versions, words), the log on stderr\n"
         "  --exact          --set: refuse a value between two steps instead of rounding\n"
         "  --list-names [PATTERN]  the identifier names (variable, flag or setting), all\n"
         "                   or those containing PATTERN (or matching it, with * and ?)\n"
         "  --list-ports     every port number that has a device: its path, whether another\n"
         "                   program holds it, the USB adapter's ids, maker, product and\n"
         "                   serial number; --json: one object per port\n"
         "  --version        the program version and the interface image's version\n"
         "  --record FILE    append each device's calibration record to FILE instead of\n"
         "                   the default file; '--record -' writes none\n"
         "  --history [FILE] the calibration records as a table (default: the default file),\n"
         "                   --since DATE (2024-05-31 or a time), --port PORT filter them,\n"
         "                   --json passes the records through\n"
         "  --decode-trace FILE  a --trace file frame by frame, in words\n"
         "  --loopback-test  check the adapter with a loopback plug (pins 2 and 3 wired)\n"
         "  --update FILE    program the device's firmware from a firmware file, carrying\n"
         "                   its calibration over (exit status 3: no boot loader answered)\n"
         "  --method N       boot loader connection method 0..6 when the file names none (6)\n"
         "\n"
         "Exit status, the same in every mode (calibration, --loop, --get, --set, --update,\n"
         "--history):\n"
         "  0  done\n"
         "  1  the device refused or failed\n"
         "  2  the port could not be opened\n"
         "  3  time-out\n"
         "  4  bad usage (unknown option or name, unreadable number or file)\n"
         "  5  done, but the calibration record not written\n"
         "--loopback-test: 0 the adapter serves both BX2 and BX1, 1 only the BX2,\n"
         "  3 neither (or no loopback plug), 2 the port could not be opened, 4 bad usage.\n"
         "With --loop, after Ctrl-C: 0 when every unit ended with OK!, else 1.\n";
}

bool ParseConsoleArguments(const std::vector<std::string>& args, TConsoleOptions& options,
                           std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.Help = true;
      continue;
    }
    if (arg == "--yes" || arg == "--no") {
      const TAnswerMode mode = arg == "--yes" ? TAnswerMode::Yes : TAnswerMode::No;
      if (options.Answers != TAnswerMode::Ask && options.Answers != mode) {
        error = "--yes and --no exclude each other";
        return false;
      }
      options.Answers = mode;
      continue;
    }
    if (arg == "--loop") {
      options.Loop = true;
      continue;
    }
    if (arg == "--version") {
      options.Version = true;
      continue;
    }
    if (arg == "--list-names" || arg.rfind("--list-names=", 0) == 0) {
      options.ListNames = true;
      if (arg.size() > 12) {
        options.NamePattern = arg.substr(13);
      } else if (i + 1 < args.size() && args[i + 1].rfind("-", 0) != 0) {
        options.NamePattern = args[++i];
      }
      continue;
    }
    if (arg == "--list-ports") {
      options.ListPorts = true;
      continue;
    }
    if (arg == "--json") {
      options.Json = true;
      continue;
    }
    if (arg == "--clamp" || arg == "--exact") {
      (arg == "--clamp" ? options.Clamp : options.Exact) = true;
      continue;
    }
    if (arg == "--verbose") {
      options.Verbose = true;
      continue;
    }
    if (arg == "--history") {
      // The file is optional: the next argument when it is not an option.
      options.History = true;
      if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) options.HistoryFile = args[++i];
      continue;
    }
    // The string table's diagnostic switch: read by the table itself when it starts.
    if (LowerAscii(arg) == "|usestringcomments") continue;
    if (arg == "--loopback-test") {
      options.LoopbackTest = true;
      continue;
    }
    bool matched = false;
    std::string value;
    for (const char* name : {"--port", "--timeout", "--trace", "--color", "--get", "--set",
                             "--record", "--since", "--decode-trace", "--update", "--method"}) {
      if (!TakeValue(args, i, name, value, matched)) {
        error = std::string(name) + " needs a value";
        return false;
      }
      if (!matched) continue;
      const std::string option = name;
      if (option == "--port") {
        options.Port = value;
      } else if (option == "--timeout") {
        if (!ParseTimeout(value, options.TimeoutSeconds)) {
          error = "--timeout needs a positive number of seconds";
          return false;
        }
      } else if (option == "--trace") {
        options.TraceFile = value;
      } else if (option == "--color") {
        if (value == "auto")
          options.Colour = TColourMode::Auto;
        else if (value == "always")
          options.Colour = TColourMode::Always;
        else if (value == "never")
          options.Colour = TColourMode::Never;
        else {
          error = "--color takes auto, always or never";
          return false;
        }
      } else if (option == "--record") {
        options.RecordFile = value;
      } else if (option == "--since") {
        options.Since = value;
      } else if (option == "--decode-trace") {
        options.DecodeTrace = value;
      } else if (option == "--get") {
        options.GetName = value;
      } else if (option == "--update") {
        options.UpdateFile = value;
      } else if (option == "--method") {
        if (value.size() != 1 || value[0] < '0' || value[0] > '6') {
          error = "--method takes 0..6";
          return false;
        }
        options.UpdateMethod = value[0] - '0';
      } else {
        options.SetAssignment = value;
      }
      break;
    }
    if (!matched) {
      error = (arg.rfind("-", 0) == 0 ? "unknown option: " : "unexpected argument: ") + arg;
      return false;
    }
  }
  if (options.Help || options.Version || options.ListNames || options.ListPorts ||
      options.History || !options.DecodeTrace.empty())
    return true;
  if (options.Port.empty()) {
    error = "--port is required";
    return false;
  }
  if (!options.GetName.empty() && !options.SetAssignment.empty()) {
    error = "--get and --set exclude each other";
    return false;
  }
  if (!options.UpdateFile.empty() &&
      (options.Loop || !options.GetName.empty() || !options.SetAssignment.empty())) {
    error = "--update excludes --loop, --get and --set";
    return false;
  }
  if (!options.SetAssignment.empty() && options.SetAssignment.find('=') == std::string::npos) {
    error = "--set needs NAME=VALUE";
    return false;
  }
  return true;
}
