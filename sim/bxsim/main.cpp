// bxsim: the simulated BX2 and inverter/charger on a pseudo-terminal.
#include <pthread.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "serial/PortMap.h"
#include "sim/PtyServer.h"
#include "support/ProgramVersion.h"
#include "support/Tools.h"

namespace {

const char kHelp[] =
    "Usage: bxsim [options]\n"
    "Serves a simulated BX2 interface with one inverter/charger behind it on a\n"
    "pseudo-terminal. The first line printed is the terminal's path; open it as the\n"
    "serial port. On SIGINT or SIGTERM the words the tool wrote and the state of the\n"
    "EEPROM write switch are printed.\n"
    "\n"
    "  --interface bx2|boot|bad   working BX2 (default), BX2 in its boot loader, or a\n"
    "                             badly programmed BX2. The BX1 needs parity bits and is\n"
    "                             served in-process only (tests), not on a terminal.\n"
    "  --interface-version N      interface firmware version (1130132)\n"
    "  --nine-bit N               start in 9-bit mode; N 'R' resets switch to KMBus\n"
    "  --device-version N         device firmware version (2606207)\n"
    "  --version-form full|split|hex   how the device reports it (full)\n"
    "  --version-text TEXT        bytes after the version value\n"
    "  --address N                device bus address (0)\n"
    "  --cal-source N             word at 0x21C4 (1003)\n"
    "  --loader binary|text       the device's boot loader: binary frames (default), or\n"
    "                             text with a \"U\" stream (found by the baud hunt)\n"
    "  --loader-version N         its version byte (113; above 114 picks method 2)\n"
    "  --loader-firmware N        its firmware version (113; above 113 it restarts the\n"
    "                             device on command, without a reset by hand)\n"
    "  --loader-baud N            rate of the text boot loader's \"U\" stream (9600)\n"
    "  --short-info               variable information in the short form\n"
    "  --paced                    real wire timing (default: fast)\n"
    "  --status-every N           every n-th interface frame carries status bytes\n"
    "  --heartbeat-ms N           device broadcast period while a driver runs (1000, 0 off)\n"
    "  --drop P --corrupt P --noise P --late P   fault probabilities (0..1)\n"
    "  --late-ms N                delay of a late frame (700)\n"
    "  --silent-device            the device never answers\n"
    "  --vanish-after N           stop talking after N frames\n"
    "  --seed N                   seed of the fault injection (1)\n"
    "  --unit-stays-ms N          units in turn: each unit answers for N ms, then is\n"
    "                             taken away (0: the first unit stays, the default)\n"
    "  --unit-gap-ms N            time without a unit before the next one (3000)\n"
    "  --next-cal-source N        word at 0x21C4 of the later units (as --cal-source)\n"
    "  --units N                  how many units come in all (0: no limit)\n"
    "  --link FILE                make FILE a symbolic link to the terminal\n"
    "  --com N                    map COM N to the terminal in the per-user port folder\n"
    "  --help                     this text\n"
    "  --version                  the program version and the interface image's version\n"
    "Parity, modem lines and the break condition do not cross a pseudo-terminal; the\n"
    "boot loader's connection burst stands in for the break.\n";

struct TArgs {
  TSimOptions Sim;
  std::string Link;
  int Com = 0;
};

bool ParseArgs(int argc, char** argv, TArgs& a, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string k = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        error = "missing value for " + k;
        return nullptr;
      }
      return argv[++i];
    };
    auto number = [&](auto& out) {
      const char* v = value();
      if (v) out = static_cast<std::remove_reference_t<decltype(out)>>(std::strtod(v, nullptr));
      return v != nullptr;
    };
    TSimFaults& f = a.Sim.Faults;
    bool ok = true;
    if (k == "--help") {
      std::cout << kHelp;
      std::exit(0);
    } else if (k == "--version") {
      std::cout << VersionText("bxsim");
      std::exit(0);
    } else if (k == "--interface") {
      const char* v = value();
      std::string s = v ? v : "";
      if (s == "bx2")
        a.Sim.Interface = TSimInterface::Bx2Working;
      else if (s == "boot")
        a.Sim.Interface = TSimInterface::Bx2BootLoader;
      else if (s == "bad")
        a.Sim.Interface = TSimInterface::Bx2BadlyProgrammed;
      else
        error = "unknown interface '" + s + "' (the BX1 is served in-process only)";
      ok = v && error.empty();
    } else if (k == "--version-form") {
      const char* v = value();
      std::string s = v ? v : "";
      if (s == "full")
        a.Sim.VersionForm = TSimVersionForm::Full32;
      else if (s == "split")
        a.Sim.VersionForm = TSimVersionForm::Split16;
      else if (s == "hex")
        a.Sim.VersionForm = TSimVersionForm::HexDigits;
      else
        error = "unknown version form '" + s + "'";
      ok = v && error.empty();
    } else if (k == "--loader") {
      const char* v = value();
      const std::string s = v ? v : "";
      if (s == "binary" || s == "text")
        a.Sim.DeviceBootLoaderText = s == "text";
      else
        error = "unknown boot loader '" + s + "' (binary or text)";
      ok = v && error.empty();
    } else if (k == "--nine-bit") {
      a.Sim.BusMode = TSimBusMode::NineBit;
      ok = number(a.Sim.NineBitResets);
    } else if (k == "--version-text") {
      const char* v = value();
      if (v) a.Sim.VersionText = v;
      ok = v != nullptr;
    } else if (k == "--link") {
      const char* v = value();
      if (v) a.Link = v;
      ok = v != nullptr;
    } else if (k == "--interface-version")
      ok = number(a.Sim.InterfaceVersion);
    else if (k == "--device-version")
      ok = number(a.Sim.DeviceVersion);
    else if (k == "--address")
      ok = number(a.Sim.DeviceAddress);
    else if (k == "--cal-source")
      ok = number(a.Sim.CalibrationSource);
    else if (k == "--loader-version")
      ok = number(a.Sim.DeviceBootLoaderVersion);
    else if (k == "--loader-firmware")
      ok = number(a.Sim.DeviceBootLoaderFirmwareVersion);
    else if (k == "--loader-baud")
      ok = number(a.Sim.DeviceBootLoaderBaud);
    else if (k == "--short-info")
      a.Sim.VariableInfoShortForm = true;
    else if (k == "--paced")
      a.Sim.Paced = true;
    else if (k == "--status-every")
      ok = number(a.Sim.StatusEvery);
    else if (k == "--heartbeat-ms")
      ok = number(a.Sim.HeartbeatMs);
    else if (k == "--drop")
      ok = number(f.DropReply);
    else if (k == "--corrupt")
      ok = number(f.CorruptChecksum);
    else if (k == "--noise")
      ok = number(f.NoiseBytes);
    else if (k == "--late")
      ok = number(f.LateReply);
    else if (k == "--late-ms")
      ok = number(f.LateMs);
    else if (k == "--silent-device")
      f.DeviceSilent = true;
    else if (k == "--vanish-after")
      ok = number(f.VanishAfterFrames);
    else if (k == "--seed")
      ok = number(f.Seed);
    else if (k == "--unit-stays-ms")
      ok = number(a.Sim.UnitStaysMs);
    else if (k == "--unit-gap-ms")
      ok = number(a.Sim.UnitGapMs);
    else if (k == "--next-cal-source")
      ok = number(a.Sim.NextCalibrationSource);
    else if (k == "--units")
      ok = number(a.Sim.UnitCount);
    else if (k == "--com")
      ok = number(a.Com);
    else {
      error = "unknown option " + k;
      ok = false;
    }
    if (!ok) return false;
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
  if (!args.Link.empty()) {
    unlink(args.Link.c_str());
    if (symlink(server.Path().c_str(), args.Link.c_str()) != 0)
      std::fprintf(stderr, "bxsim: cannot link %s: %s\n", args.Link.c_str(), std::strerror(errno));
  }
  if (args.Com > 0 && !LinkPortInFolder(args.Com, server.Path(), &error))
    std::fprintf(stderr, "bxsim: %s\n", error.c_str());

  std::atomic<bool> stop{false};
  std::thread serving([&] { server.Run(stop); });
  int signal = 0;
  sigwait(&signals, &signal);
  stop = true;
  serving.join();
  PrintReport(server);
  if (!args.Link.empty()) unlink(args.Link.c_str());
  if (args.Com > 0) UnlinkPortInFolder(args.Com);
  return 0;
}
