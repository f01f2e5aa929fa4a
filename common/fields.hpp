// Fixed-width number fields shared by the results file and the console records.
#pragma once

#include <cstdint>
#include <string>

namespace exc {

// Right-justified decimal integer; a value that needs more than `width`
// characters becomes `width` asterisks.
void AppendIntegerField(std::string& out, std::int64_t value, int width);

// Fixed-point with `decimals` digits after the point, from the exact binary
// value rounded to nearest with ties to even; always a digit before the point.
// A value too wide for the field becomes asterisks.
void AppendFixedField(std::string& out, double value, int width, int decimals);

std::string IntegerField(std::int64_t value, int width);
std::string FixedField(double value, int width, int decimals);

}  // namespace exc
