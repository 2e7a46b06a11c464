// A plain-text description of a firmware file, for making files by hand and for
// looking into them. One statement a line; '#' starts a comment line:
//
//   version 4              format version of the file (0 to 4), once, first
//   part [NAME]            starts a part; with a name the descriptor gets Part=NAME
//   key ENTRY              appends a descriptor entry (key=value)
//   config BYTES           the configuration line's bits (without the leading "C")
//   message BYTES          a message line
//   data BYTES             a data line
//   code BYTES             a code line
//
// BYTES is "hex:" followed by hexadecimal digit pairs, or a double-quoted text
// with the escapes \\ \" \r \n \t and \xHH, or bare text up to the end of the line
// (leading and trailing blanks dropped). The ML, EL and CL entries are set from
// the counted lines (in place when the description names them).
#pragma once

#include "firmware/KFFFiles.h"

#include <QByteArray>
#include <QString>

// Builds the parts from a description. Returns false with Error ("line N: ...").
bool ParseKffDescription(const QByteArray& text, TReprogramBuffer& buffer, int& version,
                         QString& error);
// Describes loaded parts so that ParseKffDescription gives them back unchanged.
QByteArray DescribeKff(const TReprogramBuffer& buffer, int version);
// BYTES in the quoted form (always quoted, so that any content survives).
QByteArray QuoteKffBytes(const QByteArray& bytes);
