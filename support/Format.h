#pragma once
// A safe %-formatter over a typed argument list. No text ever reaches printf as a
// format. Directives: %[index:][-][width][.precision]type with type
//   d (integer, precision = minimum digits: "%.3d" of 7 is "007"), u (integer),
//   x (integer in upper-case hexadecimal, precision = minimum digits),
//   s (text, precision = maximum characters),
//   f (fixed, precision default 2), e (scientific), g (shortest), n (fixed with
//   thousands separators) - all floating point,
//   %% a literal percent sign. Width and precision may be "*" (taken from the list).
// A directive that is malformed, asks beyond the list or meets an argument of another
// kind makes the whole formatting fail (result false). Extra arguments are ignored.

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

class TFormatArg {
 public:
  enum TKind : uint8_t { fkInteger, fkFloat, fkText };

  template <class I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>, int> = 0>
  TFormatArg(I value) : Kind(fkInteger), Integer(static_cast<int64_t>(value)) {}
  TFormatArg(bool value) : Kind(fkInteger), Integer(value ? 1 : 0) {}
  TFormatArg(double value) : Kind(fkFloat), Float(value) {}
  TFormatArg(float value) : Kind(fkFloat), Float(value) {}
  TFormatArg(const char* value) : Kind(fkText), Text(value ? value : "") {}
  TFormatArg(std::string value) : Kind(fkText), Text(std::move(value)) {}

  TKind Kind;
  int64_t Integer = 0;
  double Float = 0.0;
  std::string Text;
};
using TFormatArgs = std::vector<TFormatArg>;

// Formats `format` with `args` into `out`. False (and `out` undefined) on a failure.
bool FormatText(const std::string& format, const TFormatArgs& args, std::string& out);
// Convenience: the formatted text, or an empty text on a failure.
std::string FormatOrEmpty(const std::string& format, const TFormatArgs& args);
