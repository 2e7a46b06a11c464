#pragma once
// Appending one line to a file that several programs on the station may append to
// at the same time: the line goes out in one append-mode write (never interleaved
// with another program's line) and is on the disk when the call returns.

#include <QString>
#include <string>

// Appends `line` (which should end with '\n') to the file at `path`, creating the
// file when needed. When the file ends inside a line (one cut off by a crash), a
// line end goes first, so the new line stands on its own and the fragment is left as
// it is. False with a short reason in `error` when the line was not
// written in full or could not be flushed to the disk.
bool AppendLineDurably(const QString& path, const std::string& line, std::string& error);
