#include "field_conversion.h"

#include <cstdio>   // sscanf
#include <cstring>  // memcpy

#include <fast_float/fast_float.h>  // fast_float::from_chars: correctly rounded decimal

#include "line_reader.h"  // LINE_BUFFER_SIZE

namespace {

inline bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// True when a text of at least two bytes starts the way a plain decimal
// number does: a digit or a point, after an optional '-'. Which byte is looked
// at is chosen without a branch, as the sign of a series' fields changes at
// random.
inline bool starts_plain_decimal_in_span(const char* begin) {
  const char first = begin[*begin == '-'];
  return is_digit(first) || first == '.';
}

// The same for a text of any length.
inline bool starts_plain_decimal(const char* begin, const char* end) {
  if (end - begin < 2) return is_digit(*begin) || *begin == '.';
  return starts_plain_decimal_in_span(begin);
}

// What a scan finds in a plain decimal number: exactly the sign, the digits
// (1 to 19 of them, as one integer) and the decimal exponent that
// fast_float's own scan finds, and where the digits end.
struct decimal_digits {
  uint64_t mantissa;
  int64_t exponent;
  bool negative;
  const char* end;  // after the last digit; an exponent may follow
};

// The scan reads ahead of the number; it runs only where at least this many
// bytes lie before the end of the text. Shorter texts go to fast_float whole.
constexpr ptrdiff_t SCAN_SPAN = 64;
static_assert(SCAN_SPAN <= static_cast<ptrdiff_t>(FAST_PATH_MAX_LENGTH),
              "a number the scan reads whole is short enough for the fast path");

// Digits are read eight at a time with fast_float::read_u64, which gives the
// bytes in text order from the lowest byte up on any machine.

// The high bit of every byte of the word that is not an ASCII digit.
inline uint64_t non_digit_bytes(uint64_t word) {
  return ((word + 0x4646464646464646) | (word - 0x3030303030303030)) & 0x8080808080808080;
}

// The value of the first `count` (0 to 7) digits of the word: they are moved to
// the top bytes and '0's are put in front of them, then all eight are read.
inline uint64_t leading_digits_value(uint64_t word, int count) {
  const int shift = 8 * (8 - count);  // 8 to 64, done in two steps
  const uint64_t moved = (word << (shift / 2)) << (shift - shift / 2);
  const uint64_t zeros = 0x3030303030303030 >> (8 * count);
  return fast_float::parse_eight_digits_unrolled(moved | zeros);
}

constexpr uint64_t POWERS_OF_TEN[9] = {1,      10,      100,      1000,     10000,
                                       100000, 1000000, 10000000, 100000000};

// The scan: a '-', up to SCAN_SPAN - 10 integer digits one by one, a fraction
// whose digits after the first whole words are read in one step (no loop
// whose length varies from field to field). Returns false for anything else
// (no digit, more than 19, too long for the span).
inline bool scan_digits(const char* first, decimal_digits* number) {
  const char* const limit = first + SCAN_SPAN - 8;  // a word read before it stays in the text
  const char* p = first;
  const bool negative = *p == '-';
  p += negative;
  uint64_t mantissa = 0;  // may wrap once past 19 digits; such numbers go the long way
  const char* const integer = p;
  if (is_digit(p[0]) && !is_digit(p[1])) {  // one integer digit: most data
    mantissa = static_cast<uint64_t>(p[0] - '0');
    ++p;
  } else {
    while (p < limit && is_digit(*p)) {
      mantissa = 10 * mantissa + static_cast<uint64_t>(*p - '0');
      ++p;
    }
  }
  int64_t digits = p - integer;
  int64_t exponent = 0;
  if (p < limit && *p == '.') {
    ++p;
    const char* const fraction = p;
    uint64_t word = fast_float::read_u64(p);
    uint64_t non_digits = non_digit_bytes(word);
    while (non_digits == 0 && p + 8 < limit) {
      mantissa = mantissa * 100000000 + fast_float::parse_eight_digits_unrolled(word);
      p += 8;
      word = fast_float::read_u64(p);
      non_digits = non_digit_bytes(word);
    }
    if (non_digits == 0) return false;  // too long for the scan
    const int count = __builtin_ctzll(non_digits) / 8;
    mantissa = mantissa * POWERS_OF_TEN[count] + leading_digits_value(word, count);
    p += count;
    exponent = fraction - p;
    digits -= exponent;
  }
  // 1 to 19 digits (digits is never negative).
  if (p >= limit || static_cast<uint64_t>(digits - 1) > 18) return false;
  *number = {mantissa, exponent, negative, p};
  return true;
}

// ---- The conversion ----------------------------------------------------------

// -magnitude when negative, else magnitude, for a magnitude that is +0 or
// more (never a NaN): the sign bit is set without a branch, as the sign of
// the fields of a series changes at random.
inline double with_sign(double magnitude, bool negative) {
  uint64_t bits;
  memcpy(&bits, &magnitude, sizeof bits);
  bits |= static_cast<uint64_t>(negative) << 63;
  memcpy(&magnitude, &bits, sizeof bits);
  return magnitude;
}

// An exponent after the digits: 'e' or 'E', an optional sign and at least one
// digit, else the number ends before the 'e'. Returns the number's end.
inline const char* scan_exponent(const char* p, const char* end, int64_t* exponent) {
  if ((*p | 0x20) != 'e') return p;
  const char* e = p + 1;
  const bool negative_exponent = *e == '-';
  e += *e == '-' || *e == '+';
  if (e >= end || !is_digit(*e)) return p;
  int64_t power = 0;
  while (e < end && is_digit(*e)) {
    if (power < 0x10000000) power = 10 * power + (*e - '0');
    ++e;
  }
  *exponent += negative_exponent ? -power : power;
  return e;
}

// Hands sign, digits and exponent to fast_float's own conversion steps in
// fast_float's order (the exact Clinger computation, else the Eisel-Lemire
// step), so the result is fast_float's, which is sscanf's. Returns the end of
// the number, or null when fast_float::from_chars must convert it whole (a
// case that needs the long comparison, or another rounding mode).
inline const char* convert_digits(decimal_digits number, const char* end, double* value) {
  const char* const stop = scan_exponent(number.end, end, &number.exponent);
  using format = fast_float::binary_format<double>;
  const bool exact = number.exponent >= format::min_exponent_fast_path() &&
                     number.exponent <= format::max_exponent_fast_path() &&
                     number.mantissa <= format::max_mantissa_fast_path();
  if (exact && fast_float::detail::rounds_to_nearest()) {
    double result = static_cast<double>(number.mantissa);
    if (number.exponent < 0) {
      result = result / format::exact_power_of_ten(-number.exponent);
    } else {
      result = result * format::exact_power_of_ten(number.exponent);
    }
    *value = with_sign(result, number.negative);
    return stop;
  }
  if (exact) return nullptr;  // another rounding mode: fast_float decides
  fast_float::adjusted_mantissa rounded =
      fast_float::compute_float<format>(number.exponent, number.mantissa);
  if (rounded.power2 < 0) return nullptr;
  fast_float::to_float(number.negative, rounded, *value);
  return stop;
}

// The whole number starting at `first` (a sign, digits and a point, an
// exponent), read by fast_float alone. Returns its end, or null for none.
// Rarely needed: kept out of line, so that the hot loop it is called from
// keeps its values in registers.
__attribute__((noinline)) const char* convert_with_fast_float(const char* first, const char* end,
                                                              double* value) {
  fast_float::from_chars_result result = fast_float::from_chars(first, end, *value);
  if (result.ec != std::errc()) return nullptr;
  return result.ptr;
}

}  // namespace

const char* convert_plain_decimal(const char* first, const char* end, double* value) {
  const char* stop = nullptr;
  if (end - first >= SCAN_SPAN) {
    if (!starts_plain_decimal_in_span(first)) return nullptr;
    decimal_digits number;
    if (scan_digits(first, &number)) {
      stop = convert_digits(number, end, value);
      // Without an exponent the number ends within the scanned span, so
      // within FAST_PATH_MAX_LENGTH bytes.
      if (stop == number.end) return stop;
    }
  } else if (!starts_plain_decimal(first, end)) {
    return nullptr;
  }
  if (stop == nullptr) {
    double whole = 0;  // not *value: the caller's value can stay in a register
    stop = convert_with_fast_float(first, end, &whole);
    *value = whole;
  }
  if (stop == nullptr || stop - first > static_cast<ptrdiff_t>(FAST_PATH_MAX_LENGTH)) {
    return nullptr;
  }
  return stop;
}

conversion_result convert_field_with_scanf(const char* begin, const char* end, double* value) {
  // sscanf measures its whole input, so it gets a private copy of the field.
  // A field is part of one line chunk, so it always fits.
  char copy[LINE_BUFFER_SIZE];
  size_t length = static_cast<size_t>(end - begin);
  if (length >= sizeof copy) length = sizeof copy - 1;
  memcpy(copy, begin, length);
  copy[length] = '\0';
  int converted = sscanf(copy, "%lf", value);
  if (converted == 1) return CONVERSION_DONE;
  return converted == 0 ? CONVERSION_FAILED : CONVERSION_ONLY_WHITE_SPACE;
}

conversion_result convert_line_field(const char* begin, const char* line_end, double* value,
                                     const char** end) {
  double parsed;
  const char* stop = convert_plain_decimal(begin, line_end, &parsed);
  if (stop != nullptr && (stop == line_end || is_field_separator(*stop))) {
    *end = stop;
    *value = parsed;
    return CONVERSION_DONE;
  }
  *end = field_end(stop != nullptr ? stop : begin, line_end);
  if (stop != nullptr && *stop == '\r') {
    *value = parsed;
    return CONVERSION_DONE;
  }
  // Anything else goes to sscanf, without the fast path parsing it again.
  return convert_field_with_scanf(begin, *end, value);
}

conversion_result convert_field(const char* begin, const char* end, double* value) {
  double parsed;
  const char* stop = convert_plain_decimal(begin, end, &parsed);
  if (stop != nullptr && (stop == end || *stop == '\r')) {
    *value = parsed;
    return CONVERSION_DONE;
  }
  return convert_field_with_scanf(begin, end, value);
}
