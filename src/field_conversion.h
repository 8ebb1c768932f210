// The fields of a data line: where a field ends, and converting one to a
// double exactly as the C library's sscanf("%lf") does, with a fast path for
// plain decimal numbers.
#ifndef VARBLOC_FIELD_CONVERSION_H
#define VARBLOC_FIELD_CONVERSION_H

#include <cstddef>  // size_t

// Outcome of a conversion, as sscanf("%lf") counts it.
enum conversion_result {
  CONVERSION_ONLY_WHITE_SPACE = -1,  // nothing but white space: no value
  CONVERSION_FAILED = 0,             // no number at the start of the field
  CONVERSION_DONE = 1,
};

// Fields are separated by runs of blanks and tabs.
inline bool is_field_separator(char c) {
  return c == ' ' || c == '\t';
}

// Where the field starting at `begin` ends: at its first blank or tab, else
// at `line_end`, the end of the line's text.
inline const char* field_end(const char* begin, const char* line_end) {
  while (begin < line_end && !is_field_separator(*begin)) begin++;
  return begin;
}

// A byte that completes a plain number in a line still holding its line end:
// a separator, the LF, or a CR (which must begin CR LF).
inline bool ends_plain_field(char c) {
  return is_field_separator(c) || c == '\n' || c == '\r';
}

// Converts the field starting at `begin` in a line whose text (without its
// line end) ends at `line_end`, and sets *end to where the field ends. The
// field starts with no separator; the line holds no NUL byte. On CONVERSION_DONE stores the value;
// otherwise leaves *value untouched. A number that the fast path reads up to a CR is complete:
// sscanf stops there too.
conversion_result convert_line_field(const char* begin, const char* line_end, double* value,
                                     const char** end);

// Converts the field [begin, end), which holds no NUL byte. On
// CONVERSION_DONE stores the value; otherwise leaves *value untouched.
//
// Plain decimal fields (a digit, '.', or '-' and a digit or '.', then a number
// that ends at the field's end or at a CR) are converted by a correctly
// rounded parser; they are exactly the fields on which sscanf reads the same
// characters, so both give the same double. Every other field goes to sscanf.
conversion_result convert_field(const char* begin, const char* end, double* value);

// The fast path alone, for a field that starts at `begin` in a line whose
// text ends at `line_end`: when the field starts like a plain decimal number,
// parses the longest number there (at most FAST_PATH_MAX_LENGTH bytes) and
// returns where it stopped, with the value; otherwise returns null. The value
// is the one sscanf gives exactly when the number is followed by the end of
// the field (a blank, a tab or the line end) or by a CR. Every byte from
// begin to line_end may be read.
const char* convert_plain_decimal(const char* begin, const char* line_end, double* value);

// Longer numbers take the reference path; real data never come near this.
constexpr size_t FAST_PATH_MAX_LENGTH = 100;

// The reference: sscanf("%lf") on a NUL-terminated copy of the field.
conversion_result convert_field_with_scanf(const char* begin, const char* end, double* value);

#endif
