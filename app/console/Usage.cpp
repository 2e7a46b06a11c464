// --help of calibrator-cli, made from the option table: one section per mode with
// the options it takes, their help and an example.
#include <algorithm>
#include <string>
#include <vector>

#include "app/console/Arguments.h"
#include "serial/PlatformPorts.h"

namespace {

using M = TConsoleMode;

struct TModeSection {
  TConsoleMode Mode;
  const char* Heading;
  const char* Example;
};

const TModeSection Sections[] = {
    {M::Calibration,
     "Calibration (no mode option): find the BX2 or BX1 interface on PORT, bring the\n"
     "BX2's firmware up to date when needed, read the device's firmware version and\n"
     "apply the calibration correction.",
     "calibrator-cli --port COM3 --yes"},
    {M::Loop,
     "One calibration per unit on the same port:", "calibrator-cli --loop --port COM3 --yes"},
    {M::Get, "One device value read:", "calibrator-cli --port COM3 --get eestIBatBulk"},
    {M::Set,
     "One device value written:", "calibrator-cli --port COM3 --set eestIBatBulk=12.5 --exact"},
    {M::Update, "The device's firmware programmed from a file:",
     "calibrator-cli --port COM3 --update inverter.kff --yes"},
    {M::LoopbackTest, "The adapter checked:", "calibrator-cli --port COM3 --loopback-test"},
    {M::History, "The calibration records:", "calibrator-cli --history --since 2026-12-01"},
    {M::DecodeTrace, "A trace read:", "calibrator-cli --decode-trace trace.txt"},
    {M::ListNames, "The identifier names:", "calibrator-cli --list-names 'IBat*'"},
    {M::ListPorts, "The serial ports:", "calibrator-cli --list-ports"},
    {M::Help, "In every mode:", "calibrator-cli --version"},
};

const char ExitStatuses[] =
    "Exit status, the same in every mode (calibration, --loop, --get, --set, --update,\n"
    "--history, --decode-trace, --list-names, --list-ports):\n"
    "  0  done\n"
    "  1  the device refused or failed\n"
    "  2  the port could not be opened\n"
    "  3  time-out\n"
    "  4  bad usage (unknown, empty, repeated or misplaced option, two modes, unknown\n"
    "     name, unreadable number, port or file), refused before the port is opened\n"
    "  5  done, but the calibration record not written\n"
    "--loopback-test: 0 the adapter serves both BX2 and BX1, 1 only the BX2,\n"
    "  3 neither (or no loopback plug), 2 the port could not be opened, 4 bad usage.\n"
    "With --loop, after Ctrl-C: 0 when every unit ended with OK!, else 1.\n";

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string OptionWithValue(const TConsoleOption& option) {
  std::string text = option.Name;
  if (option.Value == TOptionValue::None) return text;
  const std::string value = option.Placeholder;
  return text + (option.ValueOptional ? " [" + value + "]" : " " + value);
}

// The options whose help stands in a mode's section: those that choose it, or that
// go with it first. "In every mode" takes the rest.
bool ShownUnder(const TConsoleOption& option, TConsoleMode mode) {
  if (option.Chooses == M::Help || option.Chooses == M::Version) return mode == M::Help;
  if (option.Chooses != M::Calibration) return option.Chooses == mode;
  if (option.GoesWith == EveryMode) return mode == M::Help;
  for (unsigned bit = 0; bit <= static_cast<unsigned>(M::Help); ++bit)
    if (option.GoesWith & (1u << bit)) return static_cast<unsigned>(mode) == bit;
  return false;
}

// "calibrator-cli --get NAME --port PORT [--timeout S] ...", wrapped at 80 columns.
std::string Synopsis(TConsoleMode mode) {
  std::vector<std::string> words;
  for (const TConsoleOption& option : ConsoleOptionTable())
    if (option.Chooses == mode && mode != M::Calibration) words.push_back(OptionWithValue(option));
  for (const TConsoleOption& option : ConsoleOptionTable()) {
    if ((option.Chooses == mode && mode != M::Calibration) || !(option.GoesWith & ModeBit(mode)))
      continue;
    if (ShownUnder(option, M::Help)) continue;  // the options of every mode
    const bool required = std::string(option.Name) == "--port" && mode != M::History;
    words.push_back(required ? OptionWithValue(option) : "[" + OptionWithValue(option) + "]");
  }
  std::string text = "  calibrator-cli";
  size_t column = text.size();
  for (const std::string& word : words) {
    if (column + 1 + word.size() > 80) {
      text += "\n                ";
      column = 16;
    } else {
      text += ' ';
      ++column;
    }
    text += word;
    column += word.size();
  }
  return text + "\n";
}

// `text` in lines of at most `width` characters, each after the first indented.
std::string Wrapped(const std::string& text, size_t width, const std::string& indent) {
  std::string out;
  size_t column = 0;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find_first_of(" \n", at), text.size());
    const std::string word = text.substr(at, end - at);
    if (column > 0 && column + 1 + word.size() > width) {
      out += "\n" + indent;
      column = 0;
    } else if (column > 0) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
    at = end + 1;
  }
  return out;
}

// "  --port PORT      help", the help wrapped under its first line.
std::string OptionHelp(const TConsoleOption& option) {
  const std::string indent(19, ' ');
  std::string head = "  " + OptionWithValue(option);
  head +=
      head.size() < indent.size() ? std::string(indent.size() - head.size(), ' ') : "\n" + indent;
  const std::string help = Replaced(option.Help, "%PORTS%", PortArgumentForms());
  return head + Wrapped(help, 80 - indent.size(), indent) + "\n";
}

}  // namespace

std::string ConsoleUsage() {
  std::string text =
      "Usage: calibrator-cli [MODE] [OPTIONS]: one mode per run, each with the\n"
      "options listed under it; a misplaced option is refused.\n";
  for (const TModeSection& section : Sections) {
    text += std::string("\n") + section.Heading + "\n";
    if (section.Mode != M::Help) text += Synopsis(section.Mode);
    for (const TConsoleOption& option : ConsoleOptionTable())
      if (ShownUnder(option, section.Mode)) text += OptionHelp(option);
    text += std::string("  Example: ") + section.Example + "\n";
  }
  return text + "\n" + ExitStatuses;
}
