#include "field_conversion.h"

#include <cstdio>   // sscanf
#include <cstring>  // memcpy

#include <fast_float/fast_float.h>  // fast_float::from_chars: correctly rounded decimal

#include "line_reader.h"  // LINE_BUFFER_SIZE

namespace {

inline bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// True when the field starts the way a plain decimal number does.
inline bool starts_plain_decimal(const char* begin, const char* end) {
  char first = *begin;
  if (is_digit(first) || first == '.') return true;
  return first == '-' && end - begin > 1 && (is_digit(begin[1]) || begin[1] == '.');
}

}  // namespace

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

const char* convert_plain_decimal(const char* begin, const char* line_end, double* value) {
  if (!starts_plain_decimal(begin, line_end)) return nullptr;
  fast_float::from_chars_result result = fast_float::from_chars(begin, line_end, *value);
  if (result.ec != std::errc()) return nullptr;
  if (result.ptr - begin > static_cast<ptrdiff_t>(FAST_PATH_MAX_LENGTH)) return nullptr;
  return result.ptr;
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
