#pragma once
// Framing of the boot loader dialogue, kept free of I/O so that it can be checked
// byte by byte: the binary frame with its escaping, the binary reply parser, and
// the counted text reply. Byte strings are std::string holding raw bytes.

#include <cstdint>
#include <functional>
#include <string>

// Reads like the serial port's Read: up to `count` bytes into `buffer`, the first
// within `firstTimeoutMs` (-1: the port's default time-outs); returns the number
// of bytes read, 0 on a time-out, or -1 when the line is lost.
using TBootByteReader = std::function<int(uint8_t* buffer, int count, int firstTimeoutMs)>;

// Largest payload-plus-checksum that one binary frame can carry.
constexpr int MaxBinaryFrameBody = 128;
// Longest raw binary reply that is collected before giving up.
constexpr int MaxBinaryReplyBytes = 255;

// The byte that makes the 8-bit sum of `bytes` and itself 0.
uint8_t ChecksumByte(const std::string& bytes);
// `bytes` followed by its checksum byte.
std::string AppendChecksum(const std::string& bytes);
// 8-bit sum of all bytes.
uint8_t BootByteSum(const std::string& bytes);

// Wraps a payload (command byte and data) as a binary frame: start byte 00, length
// byte 80 | (n - 1), then payload and checksum with every 00 followed by 80.
// Empty when the payload is empty or payload and checksum exceed 128 bytes.
std::string WrapBinaryFrame(const std::string& payload);

// Bytes that may stand in front of a binary reply's start byte before it is given up.
constexpr int MaxSkippedReplyBytes = 255;
// The skip ends after the reply time-out, but never sooner than this.
constexpr int MinSkipTimeMs = 100;

// Skips to a 00 start byte (each read waiting up to `timeoutMs`); false after a
// time-out, a lost line, more than MaxSkippedReplyBytes other bytes or, while bytes
// keep arriving, once the reply time-out (at least MinSkipTimeMs) has passed.
bool SkipToStartByte(const TBootByteReader& read, int timeoutMs);
// Collects one raw binary reply from the line: skips to a 00 start byte (as
// SkipToStartByte), then the length byte and the counted bytes, one more
// for every escaped 00. A 00 that is not followed by 80 restarts the count from the
// length byte after it. Returns false on a time-out or a lost line; `raw` then holds
// what arrived.
bool CollectBinaryReply(const TBootByteReader& read, int timeoutMs, std::string& raw);
// Turns a raw binary reply (start byte included) into its payload: unescapes,
// resynchronises on a bare 00, drops the length byte, checks and drops the sum.
bool UnpackBinaryReply(const std::string& raw, std::string& reply);

// Counted text reply: count byte N, N bytes, sum byte making the N bytes sum to 0.
// `raw` is the whole reply as read (count byte first).
bool UnpackCountedReply(const std::string& raw, std::string& reply);
// Reads a counted text reply: the count byte within `timeoutMs`, the rest within
// the port's default time-out. `raw` receives every byte read.
bool ReadCountedReply(const TBootByteReader& read, int timeoutMs, std::string& reply,
                      std::string* raw = nullptr);
// Reads a fixed-length reply of `length` bytes, the first within `timeoutMs`.
bool ReadFixedReply(const TBootByteReader& read, int length, int timeoutMs, std::string& reply);
