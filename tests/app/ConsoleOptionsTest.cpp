// The option table against what is made from it by hand: the man page and the bash
// completion must describe every option of the table and no other, and the
// completion must offer for each value what the table says.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/console/Arguments.h"

namespace {

std::string ReadSourceFile(const std::string& relative) {
  std::ifstream in(std::string(CALIB_SOURCE_DIR) + "/" + relative);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs a program and returns what it wrote. A plain fork, not QProcess: QProcess starts
// its child with a clone sharing the parent's memory, and the thread sanitizer's
// bookkeeping is then corrupted for the tests that follow.
std::string RunForOutput(const std::vector<std::string>& argv, const std::string& dir,
                         const std::vector<std::string>& env) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  int out[2];
  if (::pipe(out) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    if (::chdir(dir.c_str()) == 0) ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string output;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    output.append(buffer, static_cast<size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  if (child > 0) ::waitpid(child, &status, 0);
  return output;
}

std::set<std::string> TableNames() {
  std::set<std::string> names;
  for (const TConsoleOption& option : ConsoleOptionTable()) names.insert(option.Name);
  return names;
}

// The options the man page's OPTIONS section introduces: the first option on the
// line after each .TP.
std::set<std::string> ManPageOptions(const std::string& page) {
  std::set<std::string> names;
  std::istringstream lines(page.substr(page.find(".SH OPTIONS")));
  std::string line;
  bool afterTp = false;
  const std::regex option(R"(\\-\\-([a-z][a-z\\-]*))");
  std::getline(lines, line);
  while (std::getline(lines, line) && line.rfind(".SH", 0) != 0) {
    std::smatch match;
    if (afterTp && std::regex_search(line, match, option))
      names.insert("--" + std::regex_replace(match[1].str(), std::regex(R"(\\-)"), "-"));
    afterTp = line == ".TP";
  }
  return names;
}

TEST(ConsoleOptionTable, TheManPageDescribesEveryOptionAndNoOther) {
  const std::string page = ReadSourceFile("packaging/man/calibrator-cli.1");
  ASSERT_NE(page.find(".SH OPTIONS"), std::string::npos);
  EXPECT_EQ(ManPageOptions(page), TableNames());
  // --loopback-test's own statuses, each with its meaning.
  const size_t loopback = page.find("\\-\\-loopback\\-test has its own:");
  ASSERT_NE(loopback, std::string::npos);
  const std::string statuses = page.substr(loopback, page.find("\n.SH", loopback) - loopback);
  for (const char* status : {"0 the adapter", "1 only", "2 the port", "3 neither", "4 bad usage"})
    EXPECT_NE(statuses.find(status), std::string::npos) << status;
}

TEST(ConsoleOptionTable, HelpShowsEveryOptionOnceUnderAModeWithAnExample) {
  const std::string help = ConsoleUsage();
  for (const TConsoleOption& option : ConsoleOptionTable()) {
    const std::regex entry("\n  " + std::string(option.Name) + "[ \n]");
    const auto found = std::distance(std::sregex_iterator(help.begin(), help.end(), entry),
                                     std::sregex_iterator());
    EXPECT_EQ(found, 1) << option.Name;
  }
  size_t examples = 0;
  for (size_t at = help.find("  Example: "); at != std::string::npos;
       at = help.find("  Example: ", at + 1))
    ++examples;
  EXPECT_EQ(examples, 11u);  // one per mode, --help and --version sharing one
}

// Runs the completion function as bash would for the words typed so far; the last
// word is the one being completed.
class ConsoleCompletion : public ::testing::Test {
 protected:
  void SetUp() override {
    Bash = QStandardPaths::findExecutable(QStringLiteral("bash"));
    ASSERT_FALSE(Bash.isEmpty()) << "the completion is for bash";
    ASSERT_TRUE(Dir.isValid());
    QFile(Dir.filePath(QStringLiteral("firmware.kff"))).open(QIODevice::WriteOnly);
    // The completion asks the installed program for the identifier names.
    QDir(Dir.path()).mkdir(QStringLiteral("bin"));
    QFile program(Dir.filePath(QStringLiteral("bin/calibrator-cli")));
    ASSERT_TRUE(program.open(QIODevice::WriteOnly));
    program.write("#!/bin/sh\nprintf 'eestIBatBulk\\tsetting\\neestUBatAbs\\tsetting\\n'\n");
    program.close();
    program.setPermissions(program.permissions() | QFileDevice::ExeOwner);
  }

  std::vector<std::string> Complete(const std::vector<std::string>& words) {
    std::vector<std::string> argv{
        Bash.toStdString(),
        "-c",
        "source \"$1\"; shift; COMP_WORDS=(\"$@\"); "
        "COMP_CWORD=$(($# - 1)); _calibrator_cli; "
        "printf '%s\\n' \"${COMPREPLY[@]}\"",
        "_",
        std::string(CALIB_SOURCE_DIR) + "/packaging/completion/calibrator-cli",
        "calibrator-cli"};
    argv.insert(argv.end(), words.begin(), words.end());
    std::vector<std::string> reply;
    std::istringstream lines(RunForOutput(argv, Dir.path().toStdString(), CompletionEnvironment()));
    for (std::string line; std::getline(lines, line);)
      if (!line.empty()) reply.push_back(line);
    return reply;
  }

  std::vector<std::string> CompletionEnvironment() const {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry)
      if (std::string(*entry).rfind("PATH=", 0) != 0) env.emplace_back(*entry);
    const char* path = std::getenv("PATH");
    env.push_back("PATH=" + Dir.filePath(QStringLiteral("bin")).toStdString() + ":" +
                  (path != nullptr ? path : ""));
    env.push_back("KALMEON_PORTS_DIR=" + Dir.filePath(QStringLiteral("ports")).toStdString());
    return env;
  }

  static bool Offers(const std::vector<std::string>& reply, const std::string& word) {
    return std::find(reply.begin(), reply.end(), word) != reply.end();
  }

  QString Bash;
  QTemporaryDir Dir;
};

TEST_F(ConsoleCompletion, OffersEveryOptionAndNoOther) {
  const std::vector<std::string> reply = Complete({"--"});
  EXPECT_EQ(std::set<std::string>(reply.begin(), reply.end()), TableNames());
}

TEST_F(ConsoleCompletion, OffersWhatEachValueTakes) {
  for (const TConsoleOption& option : ConsoleOptionTable()) {
    if (option.Value == TOptionValue::None) continue;
    SCOPED_TRACE(option.Name);
    const std::vector<std::string> reply = Complete({option.Name, ""});
    for (const std::string& word : reply) EXPECT_NE(word.rfind("--", 0), 0u) << word;
    switch (option.Completes) {
      case TCompletion::Files:
        EXPECT_TRUE(Offers(reply, "firmware.kff"));
        break;
      case TCompletion::Ports:
        EXPECT_TRUE(Offers(reply, "sim"));
        break;
      case TCompletion::IdentifierNames: {
        const std::vector<std::string> names = Complete({option.Name, "eestIBatB"});
        EXPECT_TRUE(Offers(names, "eestIBatBulk") || Offers(names, "eestIBatBulk="));
        break;
      }
      case TCompletion::Words: {
        std::istringstream words(option.Words);
        const std::set<std::string> wanted{std::istream_iterator<std::string>(words), {}};
        EXPECT_EQ(std::set<std::string>(reply.begin(), reply.end()), wanted);
        break;
      }
      case TCompletion::Nothing:
        EXPECT_TRUE(reply.empty());
        break;
    }
  }
}

}  // namespace
