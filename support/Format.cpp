#include "support/Format.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>

namespace {

// Guards against directives that would build absurd texts ("%999999999d").
constexpr int MaxWidth = 4096;
constexpr int MaxPrecision = 300;

struct TDirective {
  int Index = -1;  // explicit argument index, -1 = next
  bool LeftAlign = false;
  int Width = -1;
  int Precision = -1;
  char Type = 0;
};

class TFormatter {
 public:
  TFormatter(const std::string& format, const TFormatArgs& args) : Format(format), Args(args) {}

  bool Run(std::string& out) {
    out.clear();
    while (Pos < Format.size()) {
      const char c = Format[Pos++];
      if (c != '%') {
        out += c;
        continue;
      }
      if (Pos < Format.size() && Format[Pos] == '%') {
        out += '%';
        ++Pos;
        continue;
      }
      if (!Directive(out)) return false;
    }
    return true;
  }

 private:
  // A number or "*" (taken from the argument list); nullopt when neither is there.
  bool Number(std::optional<int>& value, bool allowStar) {
    value.reset();
    if (Pos < Format.size() && Format[Pos] == '*' && allowStar) {
      ++Pos;
      const TFormatArg* arg = NextArg(-1);
      if (!arg || arg->Kind != TFormatArg::fkInteger) return false;
      value = static_cast<int>(std::clamp<int64_t>(arg->Integer, -1, MaxWidth + 1));
      return true;
    }
    int result = 0;
    bool any = false;
    while (Pos < Format.size() && Format[Pos] >= '0' && Format[Pos] <= '9') {
      result = std::min(result * 10 + (Format[Pos] - '0'), MaxWidth + 1);
      ++Pos;
      any = true;
    }
    if (any) value = result;
    return true;
  }

  bool Parse(TDirective& d) {
    std::optional<int> first;
    if (!Number(first, true)) return false;
    if (first && Pos < Format.size() && Format[Pos] == ':') {
      ++Pos;
      d.Index = *first;
      Next = *first;
      first.reset();
    }
    if (!first && Pos < Format.size() && Format[Pos] == '-') {
      d.LeftAlign = true;
      ++Pos;
    }
    if (!first && !Number(first, true)) return false;
    if (first) d.Width = *first;
    if (Pos < Format.size() && Format[Pos] == '.') {
      ++Pos;
      std::optional<int> precision;
      if (!Number(precision, true)) return false;
      d.Precision = precision.value_or(0);
    }
    if (Pos >= Format.size()) return false;
    d.Type = static_cast<char>(std::tolower(static_cast<unsigned char>(Format[Pos++])));
    return d.Width <= MaxWidth && d.Precision <= MaxPrecision;
  }

  const TFormatArg* NextArg(int index) {
    const int use = index >= 0 ? index : Next;
    if (use < 0 || use >= static_cast<int>(Args.size())) return nullptr;
    Next = use + 1;
    return &Args[use];
  }

  bool Directive(std::string& out) {
    TDirective d;
    if (!Parse(d)) return false;
    const TFormatArg* arg = NextArg(-1);
    if (!arg) return false;
    std::string body;
    if (!Convert(d, *arg, body)) return false;
    Pad(d, body, out);
    return true;
  }

  static void Pad(const TDirective& d, const std::string& body, std::string& out) {
    const size_t width = d.Width > 0 ? static_cast<size_t>(d.Width) : 0;
    const size_t fill = body.size() < width ? width - body.size() : 0;
    if (!d.LeftAlign) out.append(fill, ' ');
    out += body;
    if (d.LeftAlign) out.append(fill, ' ');
  }

  static bool Convert(const TDirective& d, const TFormatArg& arg, std::string& body);

  const std::string& Format;
  const TFormatArgs& Args;
  size_t Pos = 0;
  int Next = 0;
};

std::string Digits(uint64_t value, int base) {
  char buffer[72];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, base);
  std::string text(buffer, result.ptr);
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string ZeroPad(std::string digits, int precision) {
  if (precision > static_cast<int>(digits.size()))
    digits.insert(0, static_cast<size_t>(precision) - digits.size(), '0');
  return digits;
}

std::string Integer(int64_t value, int precision) {
  const bool negative = value < 0;
  const uint64_t magnitude =
      negative ? ~static_cast<uint64_t>(value) + 1 : static_cast<uint64_t>(value);
  std::string digits = ZeroPad(Digits(magnitude, 10), precision);
  return negative ? "-" + digits : digits;
}

std::string FloatText(double value, std::chars_format form, int precision) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  char buffer[MaxPrecision + 400];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, form, precision);
  return std::string(buffer, result.ptr);
}

// Scientific with a signed three-digit exponent ("1.50E+003").
std::string Scientific(double value, int precision) {
  std::string text = FloatText(value, std::chars_format::scientific, std::max(precision - 1, 0));
  const size_t e = text.find('e');
  if (e == std::string::npos) return text;
  const char sign = text[e + 1];
  std::string exponent = text.substr(e + 2);
  if (exponent.size() < 3) exponent.insert(0, 3 - exponent.size(), '0');
  std::string out = text.substr(0, e);
  out += 'E';
  out += sign;
  out += exponent;
  return out;
}

std::string Thousands(const std::string& fixed) {
  const size_t start = fixed[0] == '-' ? 1 : 0;
  size_t end = fixed.find('.');
  if (end == std::string::npos) end = fixed.size();
  std::string text = fixed;
  for (long long i = static_cast<long long>(end) - 3; i > static_cast<long long>(start); i -= 3)
    text.insert(static_cast<size_t>(i), 1, ',');
  return text;
}

bool TFormatter::Convert(const TDirective& d, const TFormatArg& arg, std::string& body) {
  const bool isInt = arg.Kind == TFormatArg::fkInteger;
  const bool isFloat = arg.Kind == TFormatArg::fkFloat;
  switch (d.Type) {
    case 'd':
      if (!isInt) return false;
      body = Integer(arg.Integer, d.Precision);
      return true;
    case 'u':
      if (!isInt) return false;
      body = ZeroPad(Digits(static_cast<uint64_t>(arg.Integer), 10), d.Precision);
      return true;
    case 'x':
      if (!isInt) return false;
      body = ZeroPad(Digits(static_cast<uint64_t>(arg.Integer), 16), d.Precision);
      return true;
    case 's':
      if (arg.Kind != TFormatArg::fkText) return false;
      body = d.Precision >= 0 ? arg.Text.substr(0, static_cast<size_t>(d.Precision)) : arg.Text;
      return true;
    case 'f':
      if (!isFloat) return false;
      body = FloatText(arg.Float, std::chars_format::fixed, d.Precision < 0 ? 2 : d.Precision);
      return true;
    case 'n':
      if (!isFloat) return false;
      body = Thousands(
          FloatText(arg.Float, std::chars_format::fixed, d.Precision < 0 ? 2 : d.Precision));
      return true;
    case 'e':
      if (!isFloat) return false;
      body = Scientific(arg.Float, d.Precision < 0 ? 15 : d.Precision);
      return true;
    case 'g':
      if (!isFloat) return false;
      body = FloatText(arg.Float, std::chars_format::general,
                       d.Precision < 0 ? 15 : std::max(d.Precision, 1));
      return true;
    default:
      return false;
  }
}

}  // namespace

bool FormatText(const std::string& format, const TFormatArgs& args, std::string& out) {
  TFormatter formatter(format, args);
  return formatter.Run(out);
}

std::string FormatOrEmpty(const std::string& format, const TFormatArgs& args) {
  std::string out;
  if (!FormatText(format, args, out)) return std::string();
  return out;
}
