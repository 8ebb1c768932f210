// The command line: banner, usage text, options and positional arguments.
#ifndef VARBLOC_COMMAND_LINE_H
#define VARBLOC_COMMAND_LINE_H

#include <cstdint>
#include <optional>

#include "library.h"         // read_options
#include "program/follow.h"  // follow_targets

// Largest factor one -a option accepts; each -a multiplies the default
// storage budget.
constexpr int64_t MAX_ALLOC_FACTOR = 9223372036;

// Everything the command line decides, owned by main for the whole run: the
// read options (-a, -c, -i, the data file name and the column count, the
// second positional argument as the reader's integer), and what the program
// writes besides standard error.
struct run_settings : read_options {
  const char* output_path = "ana.dat";  // -o: analysis file, kept whole
  const char* json_path = nullptr;      // --json: file for the run's JSON record ("-": stdout)
  bool automatic = false;               // --auto: print the automatic estimate's table
  bool discard_auto = false;            // --discard auto: discard the equilibration found
  bool discard_given = false;           // an -i option was given (-i 0 too)
  bool stream = false;                  // --stream: keep no samples, feed the states
  bool follow = false;                  // --follow: wait for more at the input's end
  double follow_seconds = DEFAULT_FOLLOW_SECONDS;  // between running answers
  follow_targets targets;                          // --target-error, --target-relative
};

// Writes the banner (a newline, the program line, an empty line).
void print_banner();

// Writes the usage text to standard error. The caller exits with status 1.
void usage_info();

// What the long options ask of the run.
enum long_option_request {
  RUN_AS_USUAL,  // analyse as the remaining arguments say
  SHOW_HELP,     // --help came first: print_help, exit 0
  SHOW_VERSION,  // --version came first: print_version, exit 0
};

// What the long options set besides the request.
struct long_options {
  const char* json_path = nullptr;        // --json FILE: where the run's record goes ("-": stdout)
  bool automatic = false;                 // --auto: print the automatic error estimate
  bool discard_auto = false;              // --discard auto: find where the chains are equilibrated
  std::optional<int32_t> discard_count;   // --discard N: as -i N
  const char* discard_problem = nullptr;  // the message for a bad --discard value, or null
  bool stream = false;                    // --stream
  std::optional<double> follow_seconds;   // --follow or --follow=SECONDS
  follow_targets targets;                 // --target-error X, --target-relative R
  const char* value_problem = nullptr;    // the message for a bad value of those, or null
};

// Takes the long options --json FILE, --auto, --discard auto, --discard N,
// --stream, --follow[=SECONDS], --target-error X, --target-relative R,
// --help and --version out of argv before getopt sees it, closing the gaps
// (*argc shrinks, argv[*argc] stays null). An option with a value takes it
// as the next argument or after '=' (--json=FILE, --discard=auto). Arguments
// of -a, -c, -i and -o (separate or attached) are skipped, and nothing after
// "--" is looked at, so "-o --json" and "-- --help" keep their meaning. The
// last --json names the file (any name); the last --discard counts, its
// value checked here (a bad one sets discard_problem). An option without a
// value (last argument, or an empty one) stays where it is, for getopt to
// refuse as it always has. Returns the first of --help and --version given,
// else RUN_AS_USUAL.
long_option_request take_long_options(int* argc, char** argv, long_options* options);

// Writes to standard output the usage text with the long options and a
// pointer to the manual page.
void print_help();

// Writes "varbloc VERSION" to standard output.
void print_version();

// Reads a number as base-10 strtol does into 64 bits: leading blanks and a
// sign accepted, trailing text ignored, no digits gives 0, out-of-range text
// gives the nearest 64-bit limit.
int64_t parse_integer_argument(const char* text);

// Keeps the low 32 bits of a 64-bit value as a signed count.
int32_t low_32_bits(int64_t value);

// Parses options and positional arguments into `settings` (the long options'
// fields left as by default: settle_command_line sets them). On a bad command
// line writes the specific message (if any) and returns false; the caller then
// writes the usage text and exits with status 1. May be called more than once.
bool parse_command_line(int argc, char** argv, run_settings* settings);

// The whole command line after take_long_options: a bad --discard value or
// a bad number of the streaming options, then parse_command_line, then the
// long options' settings (--discard and -i together refused, a target
// without --follow refused, --discard=auto refused with --follow and with
// --stream on standard input). On a bad command line writes the message and the usage
// text, with the long options after a long option's own error, and returns
// false; the caller exits with status 1.
bool settle_command_line(int argc, char** argv, const long_options& taken, run_settings* settings);

#endif
