// Fixed-width number fields shared by the results file and the console records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace exc {

// Each field is exactly `width` characters. The Format forms write it into
// `out`, which has room for them, and return `width`: the results file and
// the console records are written without allocating.

// Right-justified decimal integer; a value that needs more than `width`
// characters becomes `width` asterisks.
std::size_t FormatIntegerField(char* out, std::int64_t value, int width);

// Fixed-point with `decimals` digits after the point, from the exact binary
// value rounded to nearest with ties to even; always a digit before the point.
// A value too wide for the field becomes asterisks.
std::size_t FormatFixedField(char* out, double value, int width, int decimals);

void AppendIntegerField(std::string& out, std::int64_t value, int width);
// The decimal digits alone, at their own length.
void AppendDigits(std::string& out, std::int64_t value);
void AppendFixedField(std::string& out, double value, int width, int decimals);

std::string IntegerField(std::int64_t value, int width);
std::string FixedField(double value, int width, int decimals);

}  // namespace exc
