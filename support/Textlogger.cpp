#include "support/Textlogger.h"

#include <QDateTime>
#include <mutex>

#include "support/HardcodedStrings.h"

namespace {

// Recursive, as the threads' own lock: a destination that logs is not a deadlock.
std::recursive_mutex& LoggerLock() {
  static std::recursive_mutex lock;
  return lock;
}

std::unique_ptr<TLogDestination> Destination;
int32_t TestloggerStrings[1] = {-1};
bool UnitStarted = false;

}  // namespace

void TLogLines::AddEntry(const std::string& entry) {
  // newest entry first: its lines go in front, in their own order
  std::deque<std::string> lines;
  size_t start = 0;
  while (start < entry.size()) {
    size_t end = entry.find('\n', start);
    if (end == std::string::npos) end = entry.size();
    std::string line = entry.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  Lines.insert(Lines.begin(), lines.begin(), lines.end());
  if (MaxLines > 0 && Lines.size() > MaxLines) Lines.resize(MaxLines);
}

std::string TLogLines::Text() const {
  std::string text;
  for (const std::string& line : Lines) text += line + "\n";
  return text;
}

TLogStream::TLogStream(const std::string& path)
    : Stream(std::fopen(path.c_str(), "a")), OwnsStream(true) {}

TLogStream::~TLogStream() {
  if (OwnsStream && Stream) std::fclose(Stream);
}

void TLogStream::AddEntry(const std::string& entry) {
  if (!Stream) return;
  std::fwrite(entry.data(), 1, entry.size(), Stream);
  std::fflush(Stream);
}

std::string FormatLogEntry(const std::string& message) {
  const std::string now =
      QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz").toStdString();
  return message + "\n" + now + "_______  \n";
}

void LogText(const std::string& message) {
  std::unique_lock lock(LoggerLock(), std::try_to_lock);
  if (!lock.owns_lock()) return;  // another thread is logging: drop, never wait
  if (Destination) Destination->AddEntry(FormatLogEntry(message));
}

std::unique_ptr<TLogDestination> SetLogDestination(std::unique_ptr<TLogDestination> destination) {
  const std::lock_guard lock(LoggerLock());
  std::unique_ptr<TLogDestination> previous = std::move(Destination);
  Destination = std::move(destination);
  return previous;
}

void StartUnitTextlogger() {
  if (UnitStarted) return;
  UnitStarted = true;
  DeclareSection("Testlogger", TestloggerStrings[0], TestloggerStrings[0]);
  DefineString(TestloggerStrings[0], skTextOnly, 0, 0, "result of boolean test",
               {"True", "False", "OK", "Error"});
}

void StopUnitTextlogger() {
  if (!UnitStarted) return;
  UnitStarted = false;
  SetLogDestination(nullptr);
}
