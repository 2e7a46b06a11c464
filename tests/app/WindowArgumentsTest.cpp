// The window program's command line: answered without a window, Qt's own options let
// through, anything else refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/WindowArguments.h"

namespace {

TEST(WindowArguments, HelpAndVersionAnswerQtOptionsPassTheRestIsRefused) {
  using enum TWindowStart;
  const struct {
    std::vector<std::string> Args;
    TWindowStart Start;
  } rows[] = {
      {{}, wsRun},
      {{"--help"}, wsHelp},
      {{"-h"}, wsHelp},
      {{"--version"}, wsVersion},
      {{"--version", "--help"}, wsHelp},
      {{"|UseStringComments"}, wsRun},
      {{"|usestringcomments", "--version"}, wsVersion},
      {{"-platform", "offscreen"}, wsRun},
      {{"--platform", "offscreen", "-reverse"}, wsRun},
      {{"-style=fusion"}, wsRun},
      {{"--bogus"}, wsRefused},
      {{"-bogus"}, wsRefused},
      {{"stray"}, wsRefused},
      {{"-platform"}, wsRefused},  // its value is missing
      {{"-reverse=1"}, wsRefused},
      {{"--help", "--bogus"}, wsRefused},
  };
  for (const auto& row : rows) {
    std::string error;
    EXPECT_EQ(ParseWindowArguments(row.Args, error), row.Start)
        << ::testing::PrintToString(row.Args);
    EXPECT_EQ(error.empty(), row.Start != wsRefused) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;  // one line
  }
}

}  // namespace
