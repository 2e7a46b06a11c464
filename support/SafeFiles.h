#pragma once
// Files named on a command line are opened so that nothing waits for good and
// nothing is taken over: a FIFO, device or folder is refused at once (opening a FIFO
// waits for its other end; a device may never end), and a file is replaced through a
// temporary file, so that a failed write leaves the old one as it was and a symbolic
// link planted at the name is replaced, not followed. One implementation per
// platform (PosixSafeFiles.cpp, Win32SafeFiles.cpp).

#include <QByteArray>
#include <QFile>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <string>

// Opens `path` for reading when it is a regular file of at most `maxBytes` bytes
// (0: any size). False with a short reason in `error` otherwise.
bool OpenRegularFile(const QString& path, QFile& file, std::string& error, int64_t maxBytes = 0);

// Opens `path` for writing from its start, creating it when needed, without waiting:
// an existing FIFO, device or folder is refused. nullptr with `error` on a failure.
std::FILE* OpenRegularFileForWriting(const QString& path, std::string& error);

// Whether `path` names something other than a regular file (a FIFO, device, folder).
// False for a missing path.
bool IsSpecialFile(const QString& path);

// Writes `bytes` to a new file in the folder of `path`, puts it on the disk and
// renames it over `path`. False with `error` when any step fails; `path` then stays
// as it was. An existing path that is not a regular file (nor a symbolic link, which
// is replaced) is refused.
bool ReplaceFileContents(const QString& path, const QByteArray& bytes, std::string& error);
