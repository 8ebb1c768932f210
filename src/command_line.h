// The command line: banner, usage text, options and positional arguments.
#ifndef VARBLOC_COMMAND_LINE_H
#define VARBLOC_COMMAND_LINE_H

#include <cstdint>

// Default storage budget in bytes; each -a factor multiplies it.
constexpr uint64_t DEFAULT_ALLOC_BUDGET = 2000000000u;
// Largest factor one -a option accepts.
constexpr int64_t MAX_ALLOC_FACTOR = 9223372036;

// Everything the command line decides, owned by main for the whole run.
struct run_settings {
  uint64_t alloc_budget;              // bytes for the sample store
  int32_t skip_columns;               // -c: leading fields ignored on every line
  int32_t discard_count;              // -i: leading sample lines dropped
  const char* output_path;            // -o: analysis file, kept whole
  const char* input_name;             // data file name or "STDIN"
  const char* column_count_argument;  // second positional argument, or null
};

// Writes the banner (a newline, the program line, an empty line).
void print_banner();

// Writes the usage text to standard error. The caller exits with status 1.
void usage_info();

// Reads a number as base-10 strtol does into 64 bits: leading blanks and a
// sign accepted, trailing text ignored, no digits gives 0, out-of-range text
// gives the nearest 64-bit limit.
int64_t parse_integer_argument(const char* text);

// Keeps the low 32 bits of a 64-bit value as a signed count.
int32_t low_32_bits(int64_t value);

// Parses options and positional arguments into `settings`. On a bad command
// line writes the specific message (if any) and returns false; the caller then
// writes the usage text and exits with status 1. May be called more than once.
bool parse_command_line(int argc, char** argv, run_settings* settings);

#endif
