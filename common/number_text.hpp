// The text of one parameter value, taken a character at a time and kept only
// as far as it decides the value, so that a value of any length is read in
// bounded memory: leading zeros are counted rather than kept, and digits
// beyond the last one that can move a double's rounding are reduced to
// whether any of them is non-zero.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace exc {

class NumberText {
 public:
  NumberText();

  void Clear();
  void Append(char c);

  // An integer: decimal digits with an optional sign, from -2147483648 to
  // 2147483647; no point, no exponent.
  bool ToInteger(std::int32_t& value) const;
  // A real: optional sign, digits with or without a point (at least one
  // digit), then optionally E or e, an optional sign and digits. False when
  // the text is not such a number or overflows the type; a value below the
  // type's range reads as the nearest value it has, down to zero.
  bool ToReal(double& value) const;
  bool ToReal(float& value) const;

 private:
  enum class Part { Start, Whole, Fraction, ExponentStart, Exponent };
  template <class Real>
  bool Convert(Real& value) const;

  Part part_ = Part::Start;
  bool malformed_ = false;
  bool negative_ = false;
  bool point_ = false;
  bool mantissaDigit_ = false;
  bool exponentMark_ = false;
  bool exponentDigit_ = false;
  bool exponentNegative_ = false;
  // The significant digits, from the first non-zero one, at most kKept of
  // them; `sticky_` records a non-zero digit among those dropped.
  std::string significant_;
  bool sticky_ = false;
  std::int64_t wholeSignificant_ = 0;     // significant digits before the point
  std::int64_t fractionLeadingZeros_ = 0;  // zeros after the point before the first significant digit
  std::int64_t exponent_ = 0;              // as written, saturated far beyond any double's range
};

// Parses a whole value with the rules above.
bool ParseInteger(std::string_view text, std::int32_t& value);
bool ParseReal(std::string_view text, double& value);
bool ParseReal(std::string_view text, float& value);

}  // namespace exc
