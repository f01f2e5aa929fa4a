#include "common/fields.hpp"

#include <charconv>
#include <cstdio>

namespace exc {

namespace {

void AppendJustified(std::string& out, const char* text, std::size_t length, int width) {
  const auto w = static_cast<std::size_t>(width);
  if (length > w) {
    out.append(w, '*');
    return;
  }
  out.append(w - length, ' ');
  out.append(text, length);
}

}  // namespace

void AppendIntegerField(std::string& out, std::int64_t value, int width) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  (void)ec;
  AppendJustified(out, digits, static_cast<std::size_t>(end - digits), width);
}

void AppendFixedField(std::string& out, double value, int width, int decimals) {
  // glibc's printf converts the exact binary value and breaks exact ties to
  // even under the default rounding mode, which is the rule the files use.
  char text[400];
  int length = std::snprintf(text, sizeof text, "%.*f", decimals, value);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof text) {
    out.append(static_cast<std::size_t>(width), '*');
    return;
  }
  AppendJustified(out, text, static_cast<std::size_t>(length), width);
}

std::string IntegerField(std::int64_t value, int width) {
  std::string out;
  AppendIntegerField(out, value, width);
  return out;
}

std::string FixedField(double value, int width, int decimals) {
  std::string out;
  AppendFixedField(out, value, width, decimals);
  return out;
}

}  // namespace exc
