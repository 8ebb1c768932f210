// Tests of field conversion: every outcome sscanf("%lf") gives, and a seeded
// differential check that the fast path returns the very same doubles.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "field_conversion.h"

namespace {

uint64_t bits_of(double value) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof bits);
  return bits;
}

conversion_result convert(const std::string& field, double* value) {
  return convert_field(field.data(), field.data() + field.size(), value);
}

TEST(FieldConversionTest, OutcomesAndValues) {
  struct conversion_case {
    const char* field;
    conversion_result result;
    double value;  // checked when converted
  };
  const conversion_case cases[] = {
      {"1.5", CONVERSION_DONE, 1.5},
      {"-0", CONVERSION_DONE, -0.0},
      {".5", CONVERSION_DONE, 0.5},
      {"-.25", CONVERSION_DONE, -0.25},
      {"5.", CONVERSION_DONE, 5.0},
      {"1e3", CONVERSION_DONE, 1000.0},
      {"1E-2", CONVERSION_DONE, 0.01},
      {"+2", CONVERSION_DONE, 2.0},
      {"2\r", CONVERSION_DONE, 2.0},
      {"2\rjunk", CONVERSION_DONE, 2.0},
      {"3abc", CONVERSION_DONE, 3.0},
      {"1e", CONVERSION_DONE, 1.0},
      {"1e+", CONVERSION_DONE, 1.0},
      {"1d5", CONVERSION_DONE, 1.0},
      {"0x1p3", CONVERSION_DONE, 8.0},
      {"0X.8p1", CONVERSION_DONE, 1.0},
      {"-0x10", CONVERSION_DONE, -16.0},
      {"1e400", CONVERSION_DONE, HUGE_VAL},
      {"-1e400", CONVERSION_DONE, -HUGE_VAL},
      {"1e-400", CONVERSION_DONE, 0.0},
      {"4.9406564584124654e-324", CONVERSION_DONE, 4.9406564584124654e-324},
      {"inf", CONVERSION_DONE, HUGE_VAL},
      {"-Infinity", CONVERSION_DONE, -HUGE_VAL},
      {"infx", CONVERSION_DONE, HUGE_VAL},
      {"\v7", CONVERSION_DONE, 7.0},
      {"0x", CONVERSION_FAILED, 0},
      {"infinit", CONVERSION_FAILED, 0},
      {"infi", CONVERSION_FAILED, 0},
      {"abc", CONVERSION_FAILED, 0},
      {".", CONVERSION_FAILED, 0},
      {"-", CONVERSION_FAILED, 0},
      {"-.e5", CONVERSION_FAILED, 0},
      {"e5", CONVERSION_FAILED, 0},
      {"\x1a"
       "1",
       CONVERSION_FAILED, 0},
      {"\r", CONVERSION_ONLY_WHITE_SPACE, 0},
      {"\v\f", CONVERSION_ONLY_WHITE_SPACE, 0},
  };
  for (const conversion_case& c : cases) {
    const double untouched = 1234.5;
    double value = untouched;
    EXPECT_EQ(convert(c.field, &value), c.result) << '"' << c.field << '"';
    if (c.result == CONVERSION_DONE) {
      EXPECT_EQ(bits_of(value), bits_of(c.value)) << '"' << c.field << "\" gave " << value;
    } else {
      EXPECT_EQ(value, untouched) << '"' << c.field << '"';
    }
  }
}

TEST(FieldConversionTest, NotANumberForms) {
  const char* fields[] = {"nan", "NAN", "-nan", "nan(123)", "nanx"};
  for (const char* field : fields) {
    double value = 0;
    EXPECT_EQ(convert(field, &value), CONVERSION_DONE) << field;
    EXPECT_TRUE(std::isnan(value)) << field;
    EXPECT_EQ(std::signbit(value), field[0] == '-') << field;
  }
}

// A random field of the forms data files hold, and the edge forms around
// them: long mantissas, extreme exponents, leading zeros, trailing CR.
std::string random_field(std::mt19937_64& rng) {
  std::uniform_int_distribution<int> pick(0, 9);
  std::string field;
  if (pick(rng) < 5) field += '-';
  const int shape = pick(rng);
  if (shape < 3) {  // a double printed as C programs print them
    std::uniform_int_distribution<uint64_t> any;
    double value;
    uint64_t bits = any(rng);
    memcpy(&value, &bits, sizeof value);
    if (!std::isfinite(value)) value = 1.0 / 3.0;
    const char* formats[] = {"%.17g", "%.10f", "%.12e", "%.6g", "%a"};
    char text[512];
    snprintf(text, sizeof text, formats[pick(rng) % 5], std::fabs(value));
    return field + text;
  }
  int digits = 1 + static_cast<int>(rng() % (shape < 6 ? 20 : 90));
  int point = static_cast<int>(rng() % (digits + 2)) - 1;
  for (int d = 0; d < digits; d++) {
    if (d == point) field += '.';
    field += static_cast<char>('0' + pick(rng));
  }
  if (pick(rng) < 5) {
    field += pick(rng) < 5 ? 'e' : 'E';
    int sign = pick(rng);
    if (sign < 3) field += '-';
    if (sign == 3) field += '+';
    field += std::to_string(rng() % (pick(rng) < 8 ? 330 : 100000));
  }
  if (pick(rng) == 0) field += '\r';
  return field;
}

// In place, a field with text after it is read by the scan; a field that
// ends its text is read by fast_float alone. Both must stop at the same place
// with the same bits, and a number that ends its field must be the field's
// sscanf value.
void expect_scan_matches(const std::string& field) {
  const std::string padded = field + " " + std::string(80, '7');
  double alone = 0;
  const char* stop_alone = convert_plain_decimal(field.data(), field.data() + field.size(), &alone);
  double scanned = 0;
  const char* stop_scanned =
      convert_plain_decimal(padded.data(), padded.data() + padded.size(), &scanned);
  ASSERT_EQ(stop_alone == nullptr, stop_scanned == nullptr) << '"' << field << '"';
  if (stop_alone == nullptr) return;
  ASSERT_EQ(stop_alone - field.data(), stop_scanned - padded.data()) << '"' << field << '"';
  ASSERT_EQ(bits_of(alone), bits_of(scanned)) << '"' << field << '"';
  if (stop_alone == field.data() + field.size()) {
    double reference = 0;
    ASSERT_EQ(convert_field_with_scanf(field.data(), stop_alone, &reference), CONVERSION_DONE);
    ASSERT_EQ(bits_of(alone), bits_of(reference)) << '"' << field << '"';
  }
}

TEST(FieldConversionTest, ScanAgreesWithFastFloatAtEveryLength) {
  // Integer and fraction runs of every length around the eight-byte words and
  // the 19-digit limit, with and without exponents; digits vary per place.
  const char* exponents[] = {"", "e5", "E-30", "e+300", "e-330", "e", "e-", "E+", "e0000000000001"};
  std::mt19937_64 rng(7);
  for (int integer = 0; integer <= 22; integer++) {
    for (int fraction = -1; fraction <= 26; fraction++) {
      for (const char* exponent : exponents) {
        for (const char* sign : {"", "-"}) {
          std::string field = sign;
          for (int d = 0; d < integer; d++) field += static_cast<char>('0' + rng() % 10);
          if (fraction >= 0) field += '.';
          for (int d = 0; d < fraction; d++) field += static_cast<char>('0' + rng() % 10);
          field += exponent;
          expect_scan_matches(field);
        }
      }
    }
  }
  // Mantissas at the exact-conversion limit 2^53, powers at its edges, and
  // numbers long enough to run into the end of the scanned span.
  for (const char* field : {"9007199254740992",
                            "9007199254740993",
                            "9007199254740992e22",
                            "9007199254740992e23",
                            "1e-22",
                            "1e-23",
                            "0.000000000000000000001",
                            "12345678901234567890",
                            "1234567890123456789",
                            "0.1234567890123456789",
                            "4.9406564584124654e-324",
                            "2.4703282292062328e-324",
                            "1.7976931348623157e308",
                            "1.7976931348623159e308",
                            "00000000000000000000000000000000000000000000000000000001.5",
                            "0.0000000000000000000000000000000000000000000000000000015",
                            "-.5",
                            "-.e5",
                            "-",
                            ".",
                            "-x",
                            "--1",
                            "-+1",
                            "5.",
                            "5.e3",
                            "-0",
                            "-0.0e0",
                            "1e99999999999999999999999",
                            "1e-99999999999999999999999",
                            "0e99999999999999999999999",
                            "1e0000000000000000000000000000000000000000001"}) {
    expect_scan_matches(field);
  }
}

TEST(FieldConversionTest, FastPathGivesTheBitsSscanfGives) {
  std::mt19937_64 rng(20140624);
  const int FIELDS = 300000;
  for (int i = 0; i < FIELDS; i++) {
    std::string field = random_field(rng);
    const char* begin = field.data();
    const char* end = begin + field.size();
    double fast = 0, reference = 0;
    conversion_result fast_result = convert_field(begin, end, &fast);
    conversion_result reference_result = convert_field_with_scanf(begin, end, &reference);
    ASSERT_EQ(fast_result, reference_result) << '"' << field << '"';
    ASSERT_EQ(bits_of(fast), bits_of(reference)) << '"' << field << '"';
    expect_scan_matches(field);
  }
}

}  // namespace
