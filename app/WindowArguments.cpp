#include "app/WindowArguments.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "app/console/Arguments.h"

namespace {

// Qt's own options, which QApplication takes from the command line: those that take
// a value ("-style fusion" or "-style=fusion") and those that do not.
constexpr std::array<std::string_view, 14> kQtOptionsWithValue = {
    "platform",     "platformpluginpath", "platformtheme", "plugin", "display", "geometry",
    "style",        "stylesheet",         "session",       "name",   "title",   "qwindowgeometry",
    "qwindowtitle", "qwindowicon"};
constexpr std::array<std::string_view, 5> kQtFlags = {"reverse", "widgetcount", "sync", "nograb",
                                                      "dograb"};

template <size_t N>
bool Contains(const std::array<std::string_view, N>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Skips a Qt option at args[i] (and its value); false when it is not one of Qt's.
bool SkipQtOption(const std::vector<std::string>& args, size_t& i) {
  std::string_view arg = args[i];
  if (arg.size() < 2 || arg[0] != '-') return false;
  arg.remove_prefix(arg[1] == '-' ? 2 : 1);  // Qt takes "--style" for "-style" too
  const size_t equals = arg.find('=');
  if (equals != std::string_view::npos) return Contains(kQtOptionsWithValue, arg.substr(0, equals));
  if (Contains(kQtFlags, arg)) return true;
  if (!Contains(kQtOptionsWithValue, arg) || i + 1 >= args.size()) return false;
  ++i;
  return true;
}

}  // namespace

TWindowStart ParseWindowArguments(const std::vector<std::string>& args, std::string& error) {
  TWindowStart start = TWindowStart::wsRun;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      start = TWindowStart::wsHelp;
    } else if (arg == "--version") {
      if (start == TWindowStart::wsRun) start = TWindowStart::wsVersion;
    } else if (LowerAscii(arg) == "|usestringcomments") {
      // the string table's diagnostic switch, read by the table itself
    } else if (!SkipQtOption(args, i)) {
      error = (arg.rfind('-', 0) == 0 ? "unknown option: " : "unexpected argument: ") + arg +
              " (try --help)";
      return TWindowStart::wsRefused;
    }
  }
  return start;
}

std::string WindowUsage() {
  return "Usage: calibrator [--version | --help]\n"
         "\n"
         "The calibration window. Connect a BX2 (or BX1) interface between a serial port\n"
         "and the inverter/charger, switch the device on and pick the port in the list:\n"
         "the tool finds the interface, brings the BX2's firmware up to date when needed\n"
         "(asking first), reads the device's firmware version and applies the calibration\n"
         "correction, each step shown in the coloured log.\n"
         "\n"
         "  --version  the program version and the version of the interface image it carries\n"
         "  --help     this text\n"
         "Qt's own options (-platform NAME, -style NAME, ...) are passed on to Qt.\n"
         "The same job on a terminal, for scripts: calibrator-cli --help;\n"
         "the ports with what they are: calibrator-cli --list-ports.\n";
}
