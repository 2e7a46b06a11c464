// The console front end's own logic: arguments, port names, answers, log layout.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/Startup.h"
#include "app/console/Modes.h"
#include "app/console/program/SimPort.h"
#include "serial/PortMap.h"
#include "sim/Simulator.h"

namespace {

TEST(ConsoleArguments, AcceptsTheDocumentedForms) {
  TConsoleOptions o;
  std::string error;
  ASSERT_TRUE(ParseConsoleArguments({"--port", "COM3", "--timeout=2.5", "--yes", "--loop",
                                     "--verbose", "--trace", "t.txt", "--color", "never"},
                                    o, error))
      << error;
  EXPECT_EQ(o.Port, "COM3");
  EXPECT_DOUBLE_EQ(o.TimeoutSeconds, 2.5);
  EXPECT_EQ(o.Answers, TAnswerMode::Yes);
  EXPECT_TRUE(o.Loop);
  EXPECT_TRUE(o.Verbose);
  EXPECT_EQ(o.TraceFile, "t.txt");
  EXPECT_EQ(o.Colour, TColourMode::Never);

  // The option chooses the mode; an optional value may be left out.
  TConsoleOptions get;
  ASSERT_TRUE(ParseConsoleArguments({"--port=sim", "--get=eestIBatBulk", "--json"}, get, error));
  EXPECT_EQ(get.Mode, TConsoleMode::Get);
  EXPECT_EQ(get.GetName, "eestIBatBulk");
  TConsoleOptions history;
  ASSERT_TRUE(ParseConsoleArguments({"--history", "--since", "2026-12-01", "--port", "COM3"},
                                    history, error))
      << error;
  EXPECT_EQ(history.Mode, TConsoleMode::History);
  EXPECT_EQ(history.HistoryFile, "");
  EXPECT_EQ(history.Port, "COM3");

  // The string table's switch, in any case, as the window takes it.
  for (const char* comments : {"|UseStringComments", "|usestringcomments"}) {
    TConsoleOptions withComments;
    EXPECT_TRUE(ParseConsoleArguments({"--port", "3", comments}, withComments, error)) << error;
    EXPECT_EQ(withComments.Port, "3");
  }
}

TEST(ConsoleArguments, RefusesBadUsageWithAReason) {
  const std::vector<std::vector<std::string>> bad = {
      {},                                    // no port
      {"--port"},                            // no value
      {"--port", "3", "--yes", "--no"},      // both answers
      {"--port", "3", "--timeout", "soon"},  // not a number
      {"--port", "3", "--timeout", "-1"},    // not positive
      {"--port", "3", "--color", "blue"},    // unknown mode
      {"--port", "3", "--frobnicate"},       // unknown option
      {"--port", "3", "--set", "NoEquals"},  // --set without =
      {"--port", "3", "--get", "a", "--set", "b=1"},
  };
  for (const auto& args : bad) {
    TConsoleOptions o;
    std::string error;
    EXPECT_FALSE(ParseConsoleArguments(args, o, error)) << ::testing::PrintToString(args);
    EXPECT_FALSE(error.empty());
  }
  TConsoleOptions help;
  std::string error;
  EXPECT_TRUE(ParseConsoleArguments({"--port", "3", "--help"}, help, error));
  EXPECT_EQ(help.Mode, TConsoleMode::Help);
}

TEST(ConsolePort, ResolvesNumbersPathsAndTheSimulation) {
  std::unique_ptr<TBuiltInPort> sim;
  std::string error;
  EXPECT_EQ(ResolveConsolePort("3", sim, error), 3u);
  EXPECT_EQ(ResolveConsolePort("COM12", sim, error), 12u);
  EXPECT_EQ(ResolveConsolePort("com256", sim, error), 256u);
  for (const char* bad :
       {"0", "257", "-1", "COM", "COM0", "COMx", "x3", "", "COM+3", " 3", "3.5"}) {
    error.clear();
    EXPECT_EQ(ResolveConsolePort(bad, sim, error), 0u) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  const uint32_t byPath = ResolveConsolePort("/dev/pts/77", sim, error);
  ASSERT_GT(byPath, 0u);
  EXPECT_EQ(PortPath(static_cast<int>(byPath)), "/dev/pts/77");
  EXPECT_EQ(ResolveConsolePort("/dev/pts/77", sim, error), byPath);  // same path, same number

  const TBuiltInPortMaker installed = SetSimPortMaker({});
  error.clear();
  EXPECT_EQ(ResolveConsolePort("sim", sim, error), 0u);  // a program without the simulator
  EXPECT_FALSE(error.empty());
  SetSimPortMaker(MakeConsoleSimPort);
  const uint32_t simulated = ResolveConsolePort("sim", sim, error);
  ASSERT_GT(simulated, 0u);
  ASSERT_NE(sim, nullptr);
  auto* simPort = dynamic_cast<TSimPort*>(sim.get());
  ASSERT_NE(simPort, nullptr);
  EXPECT_EQ(simPort->Simulation().Options().DeviceVersion, 2606207u);
  EXPECT_EQ(simPort->Simulation().ReadWord(0x21C4), 1003);
  sim.reset();
  SetSimPortMaker(installed);
  ClearPortAssignments();
}

TEST(ConsoleLog, ColoursOnlyWhereWantedAndNotRefusedByTheEnvironment) {
  struct TCase {
    TColourMode Mode;
    bool Terminal;
    const char* NoColour;
    const char* Term;
    bool Coloured;
  };
  const TCase cases[] = {
      {TColourMode::Auto, true, nullptr, "xterm", true},
      {TColourMode::Auto, false, nullptr, "xterm", false},
      {TColourMode::Auto, true, "1", "xterm", false},
      {TColourMode::Auto, true, "", "xterm", false},  // set, to any value
      {TColourMode::Auto, true, nullptr, "dumb", false},
      {TColourMode::Always, false, "1", "dumb", true},
      {TColourMode::Never, true, nullptr, "xterm", false},
  };
  for (const TCase& c : cases)
    EXPECT_EQ(ColourWanted(c.Mode, c.Terminal, c.NoColour, c.Term), c.Coloured)
        << static_cast<int>(c.Mode) << c.Terminal << (c.NoColour ? c.NoColour : "-") << c.Term;
}

TEST(ConsoleAnswers, FlagsAndMissingTerminalAnswerWithoutAPerson) {
  EXPECT_EQ(AutomaticAnswer(dbYes | dbNo, true), drYes);
  EXPECT_EQ(AutomaticAnswer(dbYes | dbNo, false), drNo);
  EXPECT_EQ(AutomaticAnswer(dbOK | dbCancel, true), drOK);
  EXPECT_EQ(AutomaticAnswer(dbOK | dbCancel, false), drCancel);
  EXPECT_EQ(AutomaticAnswer(dbOK, false), drOK);  // nothing to refuse
  TConsoleDialogs noTerminal(TAnswerMode::Ask, false);
  EXPECT_EQ(noTerminal.MessageDialog("Update?", mkConfirmation, dbYes | dbNo, 0), drNo);
  TConsoleDialogs yes(TAnswerMode::Yes, false);
  EXPECT_EQ(yes.MessageDialog("Update?", mkConfirmation, dbYes | dbNo, 0), drYes);
  std::string file;
  EXPECT_EQ(yes.FileDialog(true, "t", "kff", "", file), drCancel);
}

std::string Captured(const std::function<void(TConsoleLog&)>& write, bool colour) {
  FILE* out = std::tmpfile();
  {
    TConsoleLog log(out, colour);
    write(log);
  }
  std::rewind(out);
  std::string text;
  for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) text += static_cast<char>(c);
  std::fclose(out);
  return text;
}

TEST(ConsoleLog, MarksStayOnTheLineAndColoursFollowTheMode) {
  const auto write = [](TConsoleLog& log) {
    log.AddLog("Trying to connect at COM3", true, lcBlack, TLogStyle::Regular, false);
    log.AddLog("* ", false, lcBlack, TLogStyle::Regular, false);
    log.AddLog("* ", false, lcBlack, TLogStyle::Regular, false);
    log.AddLog("OK!", true, lcGreen, TLogStyle::Bold, false);
    log.AddLog("a\r\nb", true, lcBlack, TLogStyle::Regular, false);
  };
  EXPECT_EQ(Captured(write, false), "Trying to connect at COM3* * \nOK!\na\nb\n");
  const std::string coloured = Captured(write, true);
  EXPECT_NE(coloured.find("\x1b[1;32mOK!\x1b[0m"), std::string::npos);
}

}  // namespace

namespace {

// The device's writes verified, but its EEPROM switch could not be turned off: no
// success for the script that runs the console.
TEST(ConsoleCycle, SwitchLeftOnEndsWithStatus1) {
  StartProgramUnits();
  TSimOptions options;
  options.Faults.LosesSwitchOff = true;
  TSimulation sim(options);
  const int number = sim.RegisterAsPort();
  EXPECT_EQ(RunConsole({"--port", "COM" + std::to_string(number), "--timeout", "20", "--record",
                        "-", "--color", "never"}),
            ceDeviceError);
  EXPECT_EQ(sim.ReadWord(0x21C2), 6419);
  UnregisterVirtualPort(number);
  StopProgramUnits();
}

// The console says what it does on which port, also when the port cannot be opened,
// and never gives the window's instructions.
TEST(ConsoleCycle, OpensWithWhatItDoesOnWhichPort) {
  StartProgramUnits();
  ClearPortAssignments();
  testing::internal::CaptureStdout();
  EXPECT_EQ(RunConsole({"--port", "COM250", "--record", "-", "--color", "never"}), cePortError);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("Calibrating the device behind the interface on Com 250", 0), 0u) << out;
  EXPECT_EQ(out.find("box above"), std::string::npos) << out;
  EXPECT_EQ(out.find("select comport"), std::string::npos) << out;
  StopProgramUnits();
}

// The console's value commands, end to end against a simulated device on a port (the
// refusals and their statuses are the contract tests').
TEST(ConsoleValues, GetAndSetByIdentifierName) {
  StartProgramUnits();
  TSimulation sim;
  const int number = sim.RegisterAsPort();
  const std::string port = "COM" + std::to_string(number);
  const int bulkIndex = 57 - 53;  // eestIBatBulk is setting 4
  EXPECT_EQ(RunConsole({"--port", port, "--set", "eestIBatBulk=25", "--timeout", "20"}), ceOk);
  EXPECT_EQ(sim.Setting(bulkIndex), 25);
  EXPECT_EQ(RunConsole({"--port", port, "--get", "eestIBatBulk", "--timeout", "20"}), ceOk);
  UnregisterVirtualPort(number);
  StopProgramUnits();
}

}  // namespace
