#pragma once
// The calibration job on a terminal (calibrator-cli): the same cycle as the window,
// its log printed line by line, questions asked on the terminal or answered by a
// flag, and an exit status a script can act on. The command line, the exit statuses,
// the port argument and the terminal output have headers of their own, included here
// for the callers.

#include <string>
#include <vector>

#include "app/console/Arguments.h"
#include "app/console/Exit.h"
#include "app/console/Output.h"
#include "app/console/Port.h"

// Runs the whole console program; returns the exit status.
int RunConsole(const std::vector<std::string>& args);
