#include "command_line.h"

#include <unistd.h>  // getopt, optarg, optind

#include <cerrno>
#include <cstdio>   // fputs, fprintf
#include <cstdlib>  // strtoll
#include <cstring>  // strchr, strcmp, strncmp

void print_banner() {
  fputs("\nvarbloc: blocking error analysis of correlated samples (06/24/14)\n\n", stderr);
}

namespace {

// The usage text up to its closing empty line.
void write_usage_body(FILE* stream) {
  fputs("Usage: varbloc [optional arguments] <datafile> [number of columns]\n\n", stream);
  fputs("Input file may be gzip'ed (filename STDIN will read from standard input).\n", stream);
  fputs(
      "If number of columns is omitted, it is determined from first data line (but -c is "
      "obeyed).\n\n",
      stream);
  fputs("Optional arguments:\n", stream);
  fputs("\t-a <n>\tallocate n times the default number of entries\n", stream);
  fputs("\t-c <n>\tignore first c columns in each line\n", stream);
  fputs("\t-i <m>\tdiscard initial m samples\n", stream);
  fputs("\t-o <file> write averages and error estimates to file (default ana.dat)\n", stream);
}

}  // namespace

void usage_info() {
  write_usage_body(stderr);
  fputs("\n", stderr);
}

void print_help() {
  write_usage_body(stdout);
  fputs("\t--json <file> append a JSON record of the run to file (one line per run)\n", stdout);
  fputs("\t--auto\tprint the automatic error estimate and its verdict after the summary\n", stdout);
  fputs(
      "\t--discard=auto discard the start-up samples found by the equilibration search (not with "
      "-i)\n",
      stdout);
  fputs("\t--help\tprint this text and exit\n", stdout);
  fputs("\t--version print the version and exit\n", stdout);
  fputs("\nEvery message, exit status and the record's keys: man varbloc\n", stdout);
}

void print_version() {
  printf("varbloc %s\n", varbloc_version());
}

namespace {

// True for an option that takes the next argument as its value: -a, -c, -i
// or -o standing alone (-a2 carries its value). getopt reads every command
// line it accepts the same way; on the others it stops with an error before
// the difference matters.
bool takes_next_argument(const char* argument) {
  return argument[0] == '-' && argument[1] != '\0' && strchr("acio", argument[1]) != nullptr &&
         argument[2] == '\0';
}

}  // namespace

long_option_request take_long_options(int* argc, char** argv, long_options* options) {
  long_option_request request = RUN_AS_USUAL;
  if (*argc < 1) return request;  // started without even a program name
  int kept = 1;
  int next = 1;
  while (next < *argc) {
    const char* argument = argv[next];
    if (strcmp(argument, "--") == 0) {
      while (next < *argc) argv[kept++] = argv[next++];
      break;
    }
    if (strcmp(argument, "--help") == 0 || strcmp(argument, "--version") == 0) {
      if (request == RUN_AS_USUAL) request = argument[2] == 'h' ? SHOW_HELP : SHOW_VERSION;
      next++;
    } else if (strncmp(argument, "--json=", 7) == 0 && argument[7] != '\0') {
      options->json_path = argument + 7;
      next++;
    } else if (strcmp(argument, "--auto") == 0) {
      options->automatic = true;
      next++;
    } else if (strcmp(argument, "--discard=auto") == 0) {
      options->discard_auto = true;
      next++;
    } else if (strcmp(argument, "--json") == 0 && next + 1 < *argc && argv[next + 1][0] != '\0') {
      options->json_path = argv[next + 1];
      next += 2;
    } else {
      argv[kept++] = argv[next++];
      if (takes_next_argument(argument) && next < *argc) argv[kept++] = argv[next++];
    }
  }
  argv[kept] = nullptr;
  *argc = kept;
  return request;
}

int64_t parse_integer_argument(const char* text) {
  int saved_errno = errno;
  long long value = strtoll(text, nullptr, 10);
  errno = saved_errno;
  return value;
}

int32_t low_32_bits(int64_t value) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
}

namespace {

// Multiplies the budget by an -a factor; a product beyond 64 bits is capped.
uint64_t scale_budget(uint64_t budget, int64_t factor) {
  uint64_t product;
  if (__builtin_mul_overflow(budget, static_cast<uint64_t>(factor), &product)) return UINT64_MAX;
  return product;
}

// Applies one option; returns false when the command line must fail.
bool apply_option(int option, const char* argument, run_settings* settings) {
  switch (option) {
    case 'a': {
      int64_t factor = parse_integer_argument(argument);
      if (factor < 1 || factor > MAX_ALLOC_FACTOR) {
        fprintf(stderr, "Argument of -a must be in range [1,%lu].\n",
                static_cast<unsigned long>(MAX_ALLOC_FACTOR));
        return false;
      }
      settings->alloc_budget = scale_budget(settings->alloc_budget, factor);
      return true;
    }
    case 'c': {
      settings->skip_columns = low_32_bits(parse_integer_argument(argument));
      if (check_read_options(*settings) == SKIP_COLUMNS_NEGATIVE) {
        fputs("Argument of -c must be nonnegative.\n", stderr);
        return false;
      }
      return true;
    }
    case 'i': {
      settings->discard_count = low_32_bits(parse_integer_argument(argument));
      if (check_read_options(*settings) == DISCARD_NEGATIVE) {
        fputs("Number of discarded samples must be non-negative.\n", stderr);
        return false;
      }
      settings->discard_given = true;
      return true;
    }
    case 'o':
      if (strchr(argument, '-') != nullptr) {
        fputs("Error: File option needs filename argument.\n\n", stderr);
        return false;
      }
      settings->output_path = argument;
      return true;
    default:  // getopt has already described the problem
      return false;
  }
}

}  // namespace

bool parse_command_line(int argc, char** argv, run_settings* settings) {
  *settings = run_settings{};

  optind = 0;  // glibc: start a fresh scan, so the parser can run again
  int option;
  while ((option = getopt(argc, argv, "a:c:i:o:")) != -1) {
    if (!apply_option(option, optarg, settings)) return false;
  }
  int positional = argc - optind;
  if (positional < 1 || positional > 2) return false;
  settings->input_name = argv[optind];
  // The reader checks the count (fatal errors 2 and 3) once the input is open.
  if (positional == 2) {
    settings->column_count = low_32_bits(parse_integer_argument(argv[optind + 1]));
  }
  return true;
}
