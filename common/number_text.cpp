#include "common/number_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <type_traits>

namespace exc {

namespace {

// A double's rounding can depend on up to 767 significant digits; with more
// kept, one further non-zero digit stands for everything dropped, which
// puts the value on the same side of every halfway point.
constexpr std::size_t kKept = 800;
// Counts and the written exponent stop growing here: far beyond the range of
// a double, and far from overflowing when they are combined.
constexpr std::int64_t kSaturated = std::int64_t{1} << 50;
// Decimal exponents beyond this over- or underflow whatever the digits.
constexpr std::int64_t kExponentLimit = 100000;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

void Count(std::int64_t& count) { count = std::min(count + 1, kSaturated); }

}  // namespace

NumberText::NumberText() { significant_.reserve(kKept); }

void NumberText::Clear() {
  part_ = Part::Start;
  malformed_ = negative_ = point_ = mantissaDigit_ = false;
  exponentMark_ = exponentDigit_ = exponentNegative_ = sticky_ = false;
  significant_.clear();
  wholeSignificant_ = fractionLeadingZeros_ = exponent_ = 0;
}

void NumberText::Append(char c) {
  if (malformed_) return;
  switch (part_) {
    case Part::Start:
      part_ = Part::Whole;
      if (c == '+' || c == '-') {
        negative_ = c == '-';
        return;
      }
      [[fallthrough]];
    case Part::Whole:
    case Part::Fraction:
      if (IsDigit(c)) {
        mantissaDigit_ = true;
        if (significant_.empty() && c == '0') {
          // A leading zero: it moves the point only when it follows it.
          if (part_ == Part::Fraction) Count(fractionLeadingZeros_);
          return;
        }
        if (part_ == Part::Whole) Count(wholeSignificant_);
        if (significant_.size() < kKept) {
          significant_.push_back(c);
        } else {
          sticky_ = sticky_ || c != '0';
        }
      } else if (c == '.' && part_ == Part::Whole) {
        point_ = true;
        part_ = Part::Fraction;
      } else if (c == 'e' || c == 'E') {
        exponentMark_ = true;
        part_ = Part::ExponentStart;
      } else {
        malformed_ = true;
      }
      return;
    case Part::ExponentStart:
      part_ = Part::Exponent;
      if (c == '+' || c == '-') {
        exponentNegative_ = c == '-';
        return;
      }
      [[fallthrough]];
    case Part::Exponent:
      if (!IsDigit(c)) {
        malformed_ = true;
        return;
      }
      exponentDigit_ = true;
      exponent_ = std::min(exponent_ * 10 + (c - '0'), kSaturated);
      return;
  }
}

bool NumberText::ToInteger(std::int32_t& value) const {
  if (malformed_ || !mantissaDigit_ || point_ || exponentMark_) return false;
  // Eleven significant digits are beyond the 32-bit range already.
  if (wholeSignificant_ > 10) return false;
  std::int64_t magnitude = 0;
  for (const char c : significant_) magnitude = magnitude * 10 + (c - '0');
  const std::int64_t signedValue = negative_ ? -magnitude : magnitude;
  if (signedValue < std::numeric_limits<std::int32_t>::min() || signedValue > std::numeric_limits<std::int32_t>::max())
    return false;
  value = static_cast<std::int32_t>(signedValue);
  return true;
}

template <class Real>
bool NumberText::Convert(Real& value) const {
  if (malformed_ || !mantissaDigit_ || (exponentMark_ && !exponentDigit_)) return false;
  if (significant_.empty()) {
    value = negative_ ? -Real{0} : Real{0};
    return true;
  }
  // The same value as 0.DDD...e(E), E placing the point before the first
  // significant digit.
  const std::int64_t written = exponentNegative_ ? -exponent_ : exponent_;
  const std::int64_t shift = wholeSignificant_ > 0 ? wholeSignificant_ : -fractionLeadingZeros_;
  const std::int64_t decimalExponent = std::clamp(written + shift, -kExponentLimit, kExponentLimit);
  char text[kKept + 32];
  char* at = text;
  if (negative_) *at++ = '-';
  *at++ = '0';
  *at++ = '.';
  at = std::copy(significant_.begin(), significant_.end(), at);
  if (sticky_) *at++ = '1';
  *at++ = 'e';
  at = std::to_chars(at, text + sizeof text - 1, decimalExponent).ptr;
  *at = '\0';
  Real parsed{};
  const auto [end, ec] = std::from_chars(text, at, parsed);
  if (ec == std::errc::result_out_of_range) {
    // from_chars reports underflow and overflow alike; only overflow is an
    // error, an underflowing value is as near to zero as the type allows.
    if constexpr (std::is_same_v<Real, float>) {
      parsed = std::strtof(text, nullptr);
    } else {
      parsed = std::strtod(text, nullptr);
    }
  } else if (ec != std::errc() || end != at) {
    return false;
  }
  if (!std::isfinite(parsed)) return false;
  value = parsed;
  return true;
}

bool NumberText::ToReal(double& value) const { return Convert(value); }
bool NumberText::ToReal(float& value) const { return Convert(value); }

namespace {

NumberText Scan(std::string_view text) {
  NumberText number;
  for (const char c : text) number.Append(c);
  return number;
}

}  // namespace

bool ParseInteger(std::string_view text, std::int32_t& value) { return Scan(text).ToInteger(value); }
bool ParseReal(std::string_view text, double& value) { return Scan(text).ToReal(value); }
bool ParseReal(std::string_view text, float& value) { return Scan(text).ToReal(value); }

}  // namespace exc
