// bxsim: the simulated BX2 and inverter/charger on a pseudo-terminal.
#include <pthread.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "serial/PortMap.h"
#include "sim/PtyServer.h"
#include "support/ProgramVersion.h"
#include "support/Tools.h"

namespace {

struct TArgs {
  TSimOptions Sim;
  TSimPlugSchedule Plug;
  std::string Link;
  int Com = 0;
  bool Help = false;
  bool Version = false;
};

// A number option's value: the whole text must be a number (no silent 0 for "abc").
template <typename T>
bool Number(const std::string& text, T& out, std::string& error) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || !end || *end != 0) {
    error = "not a number: '" + text + "'";
    return false;
  }
  out = static_cast<T>(value);
  return true;
}

// A word option's value: one of the given words, each naming a setting.
template <typename T>
bool Word(const std::string& text, std::initializer_list<std::pair<const char*, T>> words, T& out,
          std::string& error, const std::string& refusal) {
  for (const auto& [word, value] : words)
    if (text == word) {
      out = value;
      return true;
    }
  error = refusal;
  return false;
}

// One entry per option: the parser and --help are made from this table, and a test
// holds the man page against --help.
struct TSimOption {
  const char* Name;
  const char* Value;  // the value's name in --help; empty: the option takes none
  const char* Help;
  bool (*Apply)(const std::string& value, TArgs& args, std::string& error);
};

#define NUMBER(field) \
  [](const std::string& v, TArgs& a, std::string& e) { return Number(v, field, e); }
#define FLAG(field) [](const std::string&, TArgs& a, std::string&) { return field = true; }

const TSimOption Options[] = {
    {"--interface", "bx2|boot|bad",
     "working BX2 (default), BX2 in its boot loader, or a\n"
     "badly programmed BX2. The BX1 needs parity bits and is\n"
     "served in-process only (tests), not on a terminal.",
     [](const std::string& v, TArgs& a, std::string& e) {
       return Word(v,
                   {{"bx2", TSimInterface::Bx2Working},
                    {"boot", TSimInterface::Bx2BootLoader},
                    {"bad", TSimInterface::Bx2BadlyProgrammed}},
                   a.Sim.Interface, e,
                   "unknown interface '" + v + "' (the BX1 is served in-process only)");
     }},
    {"--interface-version", "N", "interface firmware version (1130132)",
     NUMBER(a.Sim.InterfaceVersion)},
    {"--nine-bit", "N", "start in 9-bit mode; N 'R' resets switch to KMBus",
     [](const std::string& v, TArgs& a, std::string& e) {
       a.Sim.BusMode = TSimBusMode::NineBit;
       return Number(v, a.Sim.NineBitResets, e);
     }},
    {"--device-version", "N", "device firmware version (2606207)", NUMBER(a.Sim.DeviceVersion)},
    {"--version-form", "full|split|hex", "how the device reports it (full)",
     [](const std::string& v, TArgs& a, std::string& e) {
       return Word(v,
                   {{"full", TSimVersionForm::Full32},
                    {"split", TSimVersionForm::Split16},
                    {"hex", TSimVersionForm::HexDigits}},
                   a.Sim.VersionForm, e, "unknown version form '" + v + "'");
     }},
    {"--version-text", "TEXT", "bytes after the version value",
     [](const std::string& v, TArgs& a, std::string&) {
       a.Sim.VersionText = v;
       return true;
     }},
    {"--address", "N", "device bus address (0)", NUMBER(a.Sim.DeviceAddress)},
    {"--cal-source", "N", "word at 0x21C4 (1003)", NUMBER(a.Sim.CalibrationSource)},
    {"--loader", "binary|text",
     "the device's boot loader: binary frames (default), or\n"
     "text with a \"U\" stream (found by the baud hunt)",
     [](const std::string& v, TArgs& a, std::string& e) {
       if (v != "binary" && v != "text") e = "unknown boot loader '" + v + "' (binary or text)";
       a.Sim.DeviceBootLoaderText = v == "text";
       return e.empty();
     }},
    {"--loader-version", "N", "its version byte (113; above 114 picks method 2)",
     NUMBER(a.Sim.DeviceBootLoaderVersion)},
    {"--loader-firmware", "N",
     "its firmware version (113; above 113 it restarts the\n"
     "device on command, without a reset by hand)",
     NUMBER(a.Sim.DeviceBootLoaderFirmwareVersion)},
    {"--loader-baud", "N", "rate of the text boot loader's \"U\" stream (9600)",
     NUMBER(a.Sim.DeviceBootLoaderBaud)},
    {"--short-info", "", "variable information in the short form",
     FLAG(a.Sim.VariableInfoShortForm)},
    {"--paced", "", "real wire timing (default: fast)", FLAG(a.Sim.Paced)},
    {"--status-every", "N", "every n-th interface frame carries status bytes",
     NUMBER(a.Sim.StatusEvery)},
    {"--heartbeat-ms", "N", "device broadcast period while a driver runs (1000, 0 off)",
     NUMBER(a.Sim.HeartbeatMs)},
    {"--drop", "P", "probability (0..1) that a frame is not sent", NUMBER(a.Sim.Faults.DropReply)},
    {"--corrupt", "P", "probability of a wrong checksum", NUMBER(a.Sim.Faults.CorruptChecksum)},
    {"--noise", "P", "probability of noise bytes before a frame", NUMBER(a.Sim.Faults.NoiseBytes)},
    {"--late", "P", "probability of a late frame", NUMBER(a.Sim.Faults.LateReply)},
    {"--late-ms", "N", "delay of a late frame (700)", NUMBER(a.Sim.Faults.LateMs)},
    {"--silent-device", "", "the device never answers", FLAG(a.Sim.Faults.DeviceSilent)},
    {"--silent-after-version", "", "the device stops answering once it has told its version",
     FLAG(a.Sim.Faults.SilentAfterVersion)},
    {"--loses-switch-off", "", "the writes turning the EEPROM switch off never arrive",
     FLAG(a.Sim.Faults.LosesSwitchOff)},
    {"--vanish-after", "N", "stop talking after N frames", NUMBER(a.Sim.Faults.VanishAfterFrames)},
    {"--seed", "N", "seed of the fault injection (1)", NUMBER(a.Sim.Faults.Seed)},
    {"--unit-stays-ms", "N",
     "units in turn: each unit answers for N ms, then is\n"
     "taken away (0: the first unit stays, the default)",
     NUMBER(a.Sim.UnitStaysMs)},
    {"--unit-gap-ms", "N", "time without a unit before the next one (3000)",
     NUMBER(a.Sim.UnitGapMs)},
    {"--next-cal-source", "N", "word at 0x21C4 of the later units (as --cal-source)",
     NUMBER(a.Sim.NextCalibrationSource)},
    {"--units", "N", "how many units come in all (0: no limit)", NUMBER(a.Sim.UnitCount)},
    {"--link", "FILE", "make FILE a symbolic link to the terminal",
     [](const std::string& v, TArgs& a, std::string&) {
       a.Link = v;
       return true;
     }},
    {"--com", "N", "map COM N to the terminal in the per-user port folder", NUMBER(a.Com)},
    {"--unplug-after-ms", "N",
     "pull the adapter N ms after the program's first byte:\n"
     "the terminal is closed and its links removed (the\n"
     "--com entry then leads through <port folder>/bxsim-comN,\n"
     "as a hand-made entry leads through /dev/serial/by-id)",
     NUMBER(a.Plug.UnplugAfterMs)},
    {"--unplug-after-writes", "N", "pull it once the device has taken N memory writes",
     NUMBER(a.Plug.UnplugAfterWrites)},
    {"--replug-after-ms", "M",
     "put it back M ms after the pull: a new terminal, and\n"
     "the --link and --com entries pointed at it",
     NUMBER(a.Plug.ReplugAfterMs)},
    {"--help", "", "this text", FLAG(a.Help)},
    {"--version", "", "the program version and the interface image's version", FLAG(a.Version)},
};
#undef NUMBER
#undef FLAG

std::string HelpText() {
  std::string text =
      "Usage: bxsim [options]\n"
      "Serves a simulated BX2 interface with one inverter/charger behind it on a\n"
      "pseudo-terminal. The first line printed is the terminal's path; open it as the\n"
      "serial port. On SIGINT or SIGTERM the words the tool wrote and the state of the\n"
      "EEPROM write switch are printed.\n"
      "\n";
  const std::string indent(31, ' ');
  for (const TSimOption& option : Options) {
    std::string head = std::string("  ") + option.Name + (*option.Value ? " " : "") + option.Value;
    head += head.size() + 1 < indent.size() ? std::string(indent.size() - head.size(), ' ')
                                            : "\n" + indent;
    std::string help = option.Help;
    for (size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at + 1))
      help.insert(at + 1, indent);
    text += head + help + "\n";
  }
  return text +
         "Parity, modem lines and the break condition do not cross a pseudo-terminal; the\n"
         "boot loader's connection burst stands in for the break.\n"
         "Exit status: 0 after SIGINT or SIGTERM; 1 no pseudo-terminal; 4 bad usage.\n";
}

// "--name VALUE" or "--name=VALUE"; an empty value, an unknown option or one given
// twice is bad usage.
bool ParseArgs(int argc, char** argv, TArgs& a, std::string& error) {
  std::vector<const TSimOption*> given;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const TSimOption* option = nullptr;
    for (const TSimOption& candidate : Options)
      if (name == candidate.Name) option = &candidate;
    if (!option) {
      error = "unknown option " + arg;
      return false;
    }
    if (std::find(given.begin(), given.end(), option) != given.end()) {
      error = name + " given twice";
      return false;
    }
    given.push_back(option);
    std::string value;
    if (!*option->Value) {
      if (equals != std::string::npos) {
        error = name + " takes no value";
        return false;
      }
    } else if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    }
    if (*option->Value && value.empty()) {
      error = "missing value for " + name;
      return false;
    }
    if (!option->Apply(value, a, error)) {
      error = name + ": " + error;
      return false;
    }
  }
  return true;
}

// With units in turn, one line per unit: its calibration word, the words the tool
// changed and its number of writes. Then the totals and the current state.
void PrintUnits(const std::vector<TSimUnitRecord>& units) {
  if (units.size() < 2) return;
  for (const TSimUnitRecord& unit : units) {
    std::printf("unit %d (0x21C4 = %u):", unit.Number, unit.CalibrationSource);
    for (const auto& [address, value] : unit.ChangedWords)
      std::printf(" 0x%04X = %u,", address, value);
    std::printf(" writes: %zu\n", unit.Writes.size());
  }
}

void PrintReport(TSimPtyServer& server) {
  server.Equipment().With([](TSimEquipmentSet::TParts& p) {
    const std::vector<TSimUnitRecord> units = p.Units.Records(p.Device);
    PrintUnits(units);
    size_t writes = 0;
    for (const TSimUnitRecord& unit : units) writes += unit.Writes.size();
    for (const auto& [address, value] : p.Device.ChangedWords())
      std::printf("word 0x%04X = %u\n", address, value);
    std::printf("writes: %zu\n", writes);
    std::printf("units: %zu\n", units.size());
    std::printf("EEPROM writes %s\n", p.Device.WritesEnabled() ? "enabled" : "disabled");
    if (p.Bx2) std::printf("interface version %u\n", p.Bx2->Version());
  });
  std::fflush(stdout);
}

// Makes `link` a symbolic link to `target`; complains when it cannot.
void Relink(const std::string& link, const std::string& target) {
  unlink(link.c_str());
  if (symlink(target.c_str(), link.c_str()) != 0)
    std::fprintf(stderr, "bxsim: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
}

// With an adapter that is pulled, the --com entry leads to the terminal through a
// link of its own, as a folder entry made by hand leads through /dev/serial/by-id/:
// the link goes with the terminal, so the entry never reaches a terminal that another
// program got under the old name meanwhile.
std::string AdapterLink(const TArgs& args) {
  return PortFolder() + "/bxsim-com" + std::to_string(args.Com);
}

// The --link and --com entries lead to the terminal at `path`.
void PointEntries(const TArgs& args, const std::string& path) {
  if (!args.Link.empty()) Relink(args.Link, path);
  if (args.Com <= 0) return;
  const std::string target = args.Plug.Any() ? AdapterLink(args) : path;
  std::string error;
  if (!LinkPortInFolder(args.Com, target, &error))
    std::fprintf(stderr, "bxsim: %s\n", error.c_str());
  if (args.Plug.Any()) Relink(target, path);
}

// The system removes a pulled adapter's links; a folder entry made by hand stays.
void RemoveAdapterLinks(const TArgs& args) {
  if (!args.Link.empty()) unlink(args.Link.c_str());
  if (args.Com > 0 && args.Plug.Any()) unlink(AdapterLink(args).c_str());
}

}  // namespace

namespace {

// Runs at every exit (--help and --version end inside the argument parser): output
// that did not arrive is a failure, not a success.
void CheckStandardOutput() {
  std::cout.flush();
  if (!OutputWritten(stdout, "bxsim", "standard output", stderr)) std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  std::atexit(CheckStandardOutput);
  TArgs args;
  std::string error;
  if (!ParseArgs(argc, argv, args, error)) {
    std::fprintf(stderr, "bxsim: %s\nTry --help.\n", error.c_str());
    return 4;  // bad usage, as for the console
  }
  if (args.Help || args.Version) {
    std::cout << (args.Help ? HelpText() : VersionText("bxsim"));
    return 0;
  }
  // The signals are taken by sigwait below, not by a handler.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  TSimPtyServer server(args.Sim);
  if (!server.Open(&error)) {
    std::fprintf(stderr, "bxsim: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", server.Path().c_str());
  std::fflush(stdout);
  PointEntries(args, server.Path());
  server.SetPlugSchedule(args.Plug, [&args](const std::string& path) {
    if (path.empty())
      RemoveAdapterLinks(args);
    else
      PointEntries(args, path);
    if (path.empty())
      std::printf("unplugged\n");
    else
      std::printf("replugged %s\n", path.c_str());
    std::fflush(stdout);
  });

  std::atomic<bool> stop{false};
  std::thread serving([&] { server.Run(stop); });
  int signal = 0;
  sigwait(&signals, &signal);
  stop = true;
  serving.join();
  PrintReport(server);
  RemoveAdapterLinks(args);
  if (args.Com > 0) UnlinkPortInFolder(args.Com);
  return 0;
}
