#include "support/Tools.h"

#include "support/Platform.h"

#include <QCoreApplication>
#include <QIODevice>
#include <QStringList>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>

namespace {

std::mutex ParamsGuard;
std::optional<std::vector<std::string>> ExplicitParams;

std::vector<std::string> CurrentParams() {
  {
    std::lock_guard lock(ParamsGuard);
    if (ExplicitParams) return *ExplicitParams;
  }
  std::vector<std::string> params;
  if (QCoreApplication::instance() == nullptr) return params;
  const QStringList arguments = QCoreApplication::arguments();
  for (qsizetype i = 1; i < arguments.size(); ++i) params.push_back(arguments[i].toStdString());
  return params;
}

bool SameText(const std::string& a, const std::string& b, bool ignoreCase) {
  if (a.size() != b.size()) return false;
  if (!ignoreCase) return a == b;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool TestBit(const void* buffer, uint32_t n) {
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  return (bytes[n / 8] >> (n % 8)) & 1u;
}

bool TestAndSetBit(void* buffer, uint32_t n) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  const bool old = TestBit(buffer, n);
  bytes[n / 8] = static_cast<uint8_t>(bytes[n / 8] | (1u << (n % 8)));
  return old;
}

bool TestAndClearBit(void* buffer, uint32_t n) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  const bool old = TestBit(buffer, n);
  bytes[n / 8] = static_cast<uint8_t>(bytes[n / 8] & ~(1u << (n % 8)));
  return old;
}

int64_t RoundHalfAway(double x) {
  if (std::isnan(x)) return 0;
  const double shifted = x >= 0 ? x + 0.5 : x - 0.5;
  // 2^63 is exactly representable; anything at or beyond it does not fit
  constexpr double limit = 9223372036854775808.0;
  if (shifted >= limit) return std::numeric_limits<int64_t>::max();
  if (shifted <= -limit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(std::trunc(shifted));
}

int FindParam(const std::string& text, bool ignoreCase) {
  const std::vector<std::string> params = CurrentParams();
  for (size_t i = params.size(); i > 0; --i)
    if (SameText(params[i - 1], text, ignoreCase)) return static_cast<int>(i);
  return 0;
}

void SetCommandLineParams(const std::vector<std::string>& params) {
  std::lock_guard lock(ParamsGuard);
  ExplicitParams = params;
}

void ClearCommandLineParams() {
  std::lock_guard lock(ParamsGuard);
  ExplicitParams.reset();
}

std::string HexToBytes(const std::string& text, bool reversed) {
  std::string bytes;
  for (size_t p = 0; p + 1 < text.size(); p += 2) {
    const int high = HexDigit(text[p]);
    const int low = HexDigit(text[p + 1]);
    const char byte = (high < 0 || low < 0) ? '\0' : static_cast<char>(high * 16 + low);
    if (reversed)
      bytes.insert(bytes.begin(), byte);
    else
      bytes.push_back(byte);
  }
  return bytes;
}

std::string AdjustLineBreaks(const std::string& text) {
  const char* lineBreak = PlatformLineBreak();
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      result += lineBreak;
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      result += c;
    }
  }
  return result;
}

bool IsTerminal(std::FILE* stream) {
  return StreamIsTerminal(stream);
}

std::string EscapeControls(std::string_view text) {
  const QString wide = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  QString out;
  out.reserve(wide.size());
  for (const QChar c : wide) {
    const char16_t u = c.unicode();
    if (u < 0x20 || (u >= 0x7F && u <= 0x9F))
      out += QStringLiteral("\\x%1").arg(static_cast<unsigned>(u), 2, 16, QLatin1Char('0'));
    else
      out += c;
  }
  return out.toStdString();
}

bool ReadBoundedLine(QIODevice& in, int64_t maxBytes, QByteArray& line, bool& whole) {
  if (in.atEnd()) return false;
  line.clear();
  whole = true;
  // In pieces: asking for the longest line at once would allocate that much for
  // every line.
  constexpr qint64 Piece = 4096;
  while (!in.atEnd()) {
    const QByteArray piece = in.readLine(Piece);
    if (piece.isEmpty()) break;
    const bool ends = piece.endsWith('\n');
    if (whole) {
      line += piece;
      if (line.size() - (ends ? 1 : 0) > maxBytes) {
        whole = false;
        line.truncate(static_cast<qsizetype>(maxBytes));
      }
    }
    if (ends) break;
  }
  if (line.endsWith('\n')) line.chop(1);
  return true;
}

bool OutputWritten(std::FILE* out, const char* program, const char* what, std::FILE* err) {
  errno = 0;
  const bool ok = std::fflush(out) == 0 && !std::ferror(out);
  if (!ok)
    std::fprintf(err, "%s: cannot write %s: %s\n", program, what,
                 errno ? std::strerror(errno) : "write error");
  return ok;
}

std::string HexDump(std::string_view bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (char c : bytes) {
    const auto b = static_cast<uint8_t>(c);
    if (!out.empty()) out.push_back(' ');
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0x0F]);
  }
  return out;
}
