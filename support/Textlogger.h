#pragma once
// The text logger: one call for diagnostic lines from any thread. It has no
// destination unless one is attached (the console's --verbose attaches standard
// error). Each entry reads: message, line break, date and time, "_______  ", line break.
// A message logged while another thread is inside LogText is dropped, never waited for.

#include <cstdio>
#include <deque>
#include <memory>
#include <string>

class TLogDestination {
 public:
  virtual ~TLogDestination() = default;
  // One formatted entry (ends with its line break).
  virtual void AddEntry(const std::string& entry) = 0;
};

// In-memory lines, newest entry first, at most MaxLines lines (0 = no limit).
class TLogLines : public TLogDestination {
 public:
  explicit TLogLines(size_t maxLines = 0) : MaxLines(maxLines) {}
  void AddEntry(const std::string& entry) override;
  std::string Text() const;  // all lines, each followed by a line break
  std::deque<std::string> Lines;
  size_t MaxLines;
};

// Appends entries to a C stream (standard error) or a file it opens and owns.
class TLogStream : public TLogDestination {
 public:
  explicit TLogStream(FILE* stream) : Stream(stream) {}
  // Opens `path` for appending; Valid() is false when that failed.
  explicit TLogStream(const std::string& path);
  ~TLogStream() override;
  TLogStream(const TLogStream&) = delete;
  TLogStream& operator=(const TLogStream&) = delete;
  bool Valid() const { return Stream != nullptr; }
  void AddEntry(const std::string& entry) override;

 private:
  FILE* Stream = nullptr;
  bool OwnsStream = false;
};

void LogText(const std::string& message);
// Attaches a destination (nullptr detaches); returns the previous one.
std::unique_ptr<TLogDestination> SetLogDestination(std::unique_ptr<TLogDestination> destination);
// The entry LogText builds for a message (the time is the current local time).
std::string FormatLogEntry(const std::string& message);

// Declares the "Testlogger" section (needs StartUnitStrings first).
void StartUnitTextlogger();
void StopUnitTextlogger();
