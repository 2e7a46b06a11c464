#pragma once
// Small shared functions: bit tests on byte buffers, rounding half away from zero,
// command-line parameter lookup, hexadecimal text to bytes, line-break normalising.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

class QByteArray;
class QIODevice;

// Bit n of a byte buffer: bit (n mod 8) of byte (n div 8); bit 0 is the least
// significant bit of the first byte.
bool TestBit(const void* buffer, uint32_t n);
// Return the bit's old state, then set / clear it.
bool TestAndSetBit(void* buffer, uint32_t n);
bool TestAndClearBit(void* buffer, uint32_t n);

// Rounds half away from zero: 2.5 -> 3, -2.5 -> -3, 2.4999 -> 2. Values beyond the
// 64-bit range (and NaN) saturate (NaN gives 0).
int64_t RoundHalfAway(double x);

// Position (1-based) of the command-line parameter equal to `text`, searching from the
// last parameter to the first; 0 when none matches. The program name is not a
// parameter. ignoreCase compares without regard to (ASCII) case.
int FindParam(const std::string& text, bool ignoreCase);
// The parameters FindParam searches: by default the QCoreApplication's arguments
// without the program name (none without an application). Programs that look
// parameters up before their application exists, and tests, set them here.
void SetCommandLineParams(const std::vector<std::string>& params);
void ClearCommandLineParams();  // back to the application's arguments

// Each pair of characters read as one hexadecimal byte (upper or lower case), appended
// (reversed false) or put in front (reversed true). A final odd character is ignored;
// a pair that is not hexadecimal gives the byte 0.
std::string HexToBytes(const std::string& text, bool reversed);

// Bytes as two upper-case hexadecimal digits each, separated by blanks.
std::string HexDump(std::string_view bytes);

// "\r\n", "\r" and "\n" each become the platform's line break ("\n"; "\r\n" on Windows).
std::string AdjustLineBreaks(const std::string& text);

// Whether the stream is an interactive terminal (console window on Windows).
bool IsTerminal(std::FILE* stream);

// Text from a file made safe for a terminal: control characters (C0, DEL and the
// C1 range U+0080..U+009F) become \xHH, so that no escape sequence in a trace, a
// record or a firmware file reaches the terminal raw. UTF-8 in, UTF-8 out.
std::string EscapeControls(std::string_view text);

// Reads one line (without its '\n') of at most `maxBytes` bytes; the rest of a
// longer line is read and dropped, and `whole` is false. False at the end.
bool ReadBoundedLine(QIODevice& in, int64_t maxBytes, QByteArray& line, bool& whole);

// Flushes the stream and tells whether everything written to it arrived (a full
// disk, a closed pipe). With a failure, `program`: "cannot write ..." goes to `err`.
bool OutputWritten(std::FILE* out, const char* program, const char* what, std::FILE* err);
