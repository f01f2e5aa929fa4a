// Parameter values of any length: the kept digits decide the value exactly as
// the whole text would, and the text's length costs nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/number_text.hpp"

namespace exc {
namespace {

const std::string kZeros(5000, '0');

std::string Integer(const std::string& text) {
  std::int32_t value = 0;
  return ParseInteger(text, value) ? std::to_string(value) : "refused";
}

TEST(NumberText, LongIntegers) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {kZeros.substr(0, 512) + "2", "2"},  // 513 characters
      {"+" + kZeros + "7", "7"},
      {"-" + kZeros + "2147483648", "-2147483648"},
      {kZeros + "2147483647", "2147483647"},
      {kZeros + "2147483648", "refused"},
      {"-" + kZeros + "2147483649", "refused"},
      {kZeros + "10000000000", "refused"},  // eleven significant digits
      {"1" + kZeros, "refused"},
      {kZeros, "0"},
      {"-" + kZeros, "0"},
      {kZeros + "1.0", "refused"},
      {kZeros + "1e0", "refused"},
      {kZeros + "1x", "refused"},
      {"+", "refused"},
      {"", "refused"},
  };
  for (const auto& [text, want] : rows) EXPECT_EQ(Integer(text), want) << text.size() << " characters";
}

double Real(const std::string& text) {
  double value = -999.0;
  return ParseReal(text, value) ? value : std::numeric_limits<double>::quiet_NaN();
}

float Single(const std::string& text) {
  float value = -999.0f;
  return ParseReal(text, value) ? value : std::numeric_limits<float>::quiet_NaN();
}

TEST(NumberText, LongReals) {
  const std::vector<std::pair<std::string, double>> rows = {
      {"0.5" + kZeros.substr(0, 510), 0.5},
      {kZeros + "0.25" + kZeros, 0.25},
      {"25" + kZeros + "e-" + kZeros + "5002", 0.25},
      {"0." + kZeros + "25e" + kZeros + "5000", 0.25},
      {"." + kZeros + "1e+5001", 1.0},
      {"0." + kZeros + "1", 0.0},  // 1e-5001 is below the smallest double
      {"1e-" + kZeros + "99999999999999999999999", 0.0},
      {"0e" + kZeros + "99999999999999999999999", 0.0},
      {kZeros + "." + kZeros, 0.0},
  };
  for (const auto& [text, want] : rows) EXPECT_EQ(Real(text), want) << text.size() << " characters";
  EXPECT_TRUE(std::signbit(Real("-" + kZeros + ".0")));
  for (const std::string& text : std::vector<std::string>{"1" + kZeros, "1e" + kZeros + "400", "1e99999999999999999999999", "0.5" + kZeros + "x",
                                  kZeros + "e", "." + kZeros + ".", "-" + kZeros + "e+"}) {
    EXPECT_TRUE(std::isnan(Real(text))) << text.size() << " characters";
  }
}

TEST(NumberText, DigitsBeyondTheKeptOnesStillRound) {
  // 1 + 2^-53 lies exactly halfway between 1 and the next double: ties go
  // to the even 1, and any non-zero digit after it, however far out, tips
  // it to the next double. Likewise 1 + 2^-24 for single precision.
  const std::string doubleHalf = "1.00000000000000011102230246251565404236316680908203125";
  const double above = std::nextafter(1.0, 2.0);
  EXPECT_EQ(Real(doubleHalf), 1.0);
  EXPECT_EQ(Real(doubleHalf + kZeros), 1.0);
  EXPECT_EQ(Real(doubleHalf + kZeros + "1"), above);
  EXPECT_EQ(Real(doubleHalf + kZeros + "1" + kZeros), above);
  // The same digits, the point moved four places and put back by the exponent.
  std::string shifted = doubleHalf;
  shifted.erase(1, 1);
  shifted.insert(0, "0.000");
  EXPECT_EQ(Real(shifted + kZeros + "1e4"), above);

  const std::string floatHalf = "1.000000059604644775390625";
  const float floatAbove = std::nextafter(1.0f, 2.0f);
  EXPECT_EQ(Single(floatHalf + kZeros), 1.0f);
  EXPECT_EQ(Single(floatHalf + kZeros + "1"), floatAbove);
  EXPECT_EQ(Single("3.4e38"), 3.4e38f);
  EXPECT_TRUE(std::isnan(Single("1e39")));  // beyond single precision, not double
}

TEST(NumberText, ShortTextsReadAsTheLibraryReadsThem) {
  // Random short numbers in every written form against strtod.
  std::mt19937 random(12345);
  auto digits = [&](int n) {
    std::string text;
    for (int i = 0; i < n; ++i) text.push_back(static_cast<char>('0' + random() % 10));
    return text;
  };
  for (int i = 0; i < 20000; ++i) {
    std::string text = (random() % 3 == 0) ? "-" : "";
    text += digits(static_cast<int>(random() % 25));
    if (random() % 2 == 0) text.append(1, '.').append(digits(static_cast<int>(random() % 25)));
    if (text.find_first_of("0123456789") == std::string::npos) text.append(1, '7');
    if (random() % 2 == 0) text.append(1, 'e').append(std::to_string(static_cast<int>(random() % 700) - 350));
    const double expected = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(expected)) continue;
    ASSERT_EQ(Real(text), expected) << text;
    const float single = std::strtof(text.c_str(), nullptr);
    if (std::isfinite(single)) {
      ASSERT_EQ(Single(text), single) << text;
    } else {
      ASSERT_TRUE(std::isnan(Single(text))) << text;
    }
  }
}

}  // namespace
}  // namespace exc
