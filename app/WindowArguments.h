#pragma once
// The window program's command line: it needs none for its work, but answers --help
// and --version without a window, passes Qt's own options on, and refuses the rest.

#include <string>
#include <vector>

enum class TWindowStart {
  wsRun,      // open the window
  wsHelp,     // print WindowUsage(), exit 0
  wsVersion,  // print the version, exit 0
  wsRefused,  // print the error in one line, exit 4
};

// Reads the arguments (without the program name); *error is set for wsRefused.
TWindowStart ParseWindowArguments(const std::vector<std::string>& args, std::string& error);
std::string WindowUsage();
