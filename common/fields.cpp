#include "common/fields.hpp"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace exc {

namespace {

std::size_t Justify(char* out, const char* text, std::size_t length, int width) {
  const auto w = static_cast<std::size_t>(width);
  if (length > w) {
    std::memset(out, '*', w);
  } else {
    std::memset(out, ' ', w - length);
    std::memcpy(out + (w - length), text, length);
  }
  return w;
}

}  // namespace

std::size_t FormatIntegerField(char* out, std::int64_t value, int width) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  (void)ec;
  return Justify(out, digits, static_cast<std::size_t>(end - digits), width);
}

std::size_t FormatFixedField(char* out, double value, int width, int decimals) {
  // glibc's printf converts the exact binary value and breaks exact ties to
  // even under the default rounding mode, which is the rule the files use.
  char text[400];
  const int length = std::snprintf(text, sizeof text, "%.*f", decimals, value);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof text) {
    std::memset(out, '*', static_cast<std::size_t>(width));
    return static_cast<std::size_t>(width);
  }
  return Justify(out, text, static_cast<std::size_t>(length), width);
}

void AppendIntegerField(std::string& out, std::int64_t value, int width) {
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(width));
  FormatIntegerField(out.data() + at, value, width);
}

void AppendDigits(std::string& out, std::int64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

void AppendFixedField(std::string& out, double value, int width, int decimals) {
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(width));
  FormatFixedField(out.data() + at, value, width, decimals);
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
