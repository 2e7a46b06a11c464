#pragma once
// The program's units for a whole test binary, as a program's main holds them: started
// before the first test, stopped after the last. Any test file that includes this
// header registers the one environment of its binary.

#include <gtest/gtest.h>

#include "app/Startup.h"

class TProgramUnitsEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { StartProgramUnits(); }
  void TearDown() override { StopProgramUnits(); }
};

// An inline variable: registered once per binary however many files include it;
// GoogleTest owns the environment.
inline ::testing::Environment* const ProgramUnitsEnvironment =
    ::testing::AddGlobalTestEnvironment(new TProgramUnitsEnvironment);
