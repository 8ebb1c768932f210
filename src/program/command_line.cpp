#include "command_line.h"

#include <unistd.h>  // getopt, optarg, optind

#include <cctype>  // isdigit, isspace
#include <cerrno>
#include <cmath>    // isfinite
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

// The long options, one line each, as the usage text's lines.
void write_long_options(FILE* stream) {
  fputs("\t--json <file> append a JSON line for the run to file (- for standard output)\n", stream);
  fputs("\t--auto\tprint the automatic error estimate and its verdict after the summary\n", stream);
  fputs("\t--discard auto discard the start-up samples found by the equilibration search\n",
        stream);
  fputs("\t--discard <m> discard initial m samples, as -i (neither form together with -i)\n",
        stream);
  fputs("\t--stream\tread any length in constant memory (figures equal to about 1e-12)\n", stream);
  fputs("\t--follow[=s] keep reading a growing input (implies --stream); every s seconds\n",
        stream);
  fputs("\t\t(default 10) a running line per column; ends at end of a pipe, SIGINT, SIGTERM\n",
        stream);
  fputs("\t--target-error <x> with --follow: end once every column is ok with error <= x\n",
        stream);
  fputs("\t--target-relative <r> with --follow: end once every error <= r |mean|\n", stream);
  fputs("\t--help\tprint this text and exit\n", stream);
  fputs("\t--version print the version and exit\n", stream);
  fputs("A long option's value follows it or an '=': --json r.jsonl or --json=r.jsonl.\n", stream);
}

// The usage text with the long options, after a long option's own error.
void usage_with_long_options() {
  write_usage_body(stderr);
  write_long_options(stderr);
  fputs("\n", stderr);
}

}  // namespace

void usage_info() {
  write_usage_body(stderr);
  fputs("\n", stderr);
}

void print_help() {
  write_usage_body(stdout);
  write_long_options(stdout);
  fputs("\nEvery message, exit status and the record's keys: man varbloc\n", stdout);
}

void print_version() {
  printf("varbloc %s\n", varbloc_version());
}

namespace {

// What -i and a --discard count print when the count is negative.
constexpr const char* NEGATIVE_DISCARD = "Number of discarded samples must be non-negative.\n";

// True for an option that takes the next argument as its value: -a, -c, -i
// or -o standing alone (-a2 carries its value). getopt reads every command
// line it accepts the same way; on the others it stops with an error before
// the difference matters.
bool takes_next_argument(const char* argument) {
  return argument[0] == '-' && argument[1] != '\0' && strchr("acio", argument[1]) != nullptr &&
         argument[2] == '\0';
}

// The value of the long option `name` ("--json") when argv[next] is that
// option: "--name=value", or "--name" and the value as the next argument.
// Returns how many arguments it takes (1 or 2), or 0 when argv[next] is not
// the option with a value (an empty value, or none after the last argument):
// that is left for getopt to refuse, as any unknown option.
int long_option_value(const char* name, int next, int argc, char** argv, const char** value) {
  const char* argument = argv[next];
  const size_t length = strlen(name);
  if (strncmp(argument, name, length) != 0) return 0;
  if (argument[length] == '=' && argument[length + 1] != '\0') {
    *value = argument + length + 1;
    return 1;
  }
  if (argument[length] == '\0' && next + 1 < argc && argv[next + 1][0] != '\0') {
    *value = argv[next + 1];
    return 2;
  }
  return 0;
}

// True for text that strtol reads to its end as a base-10 number: leading
// blanks, a sign and at least one digit, nothing after.
bool is_whole_number(const char* text) {
  while (isspace(static_cast<unsigned char>(*text))) text++;
  if (*text == '+' || *text == '-') text++;
  if (!isdigit(static_cast<unsigned char>(*text))) return false;
  while (isdigit(static_cast<unsigned char>(*text))) text++;
  return *text == '\0';
}

// Takes a --discard value: "auto", or a count that -i would take alike (its
// low 32 bits, not negative). The last --discard given counts.
void take_discard(const char* value, long_options* options) {
  options->discard_auto = false;
  options->discard_count.reset();
  options->discard_problem = nullptr;
  if (strcmp(value, "auto") == 0) {
    options->discard_auto = true;
    return;
  }
  if (!is_whole_number(value)) {
    options->discard_problem = "Argument of --discard must be auto or a number of samples.\n";
    return;
  }
  const int32_t count = low_32_bits(parse_integer_argument(value));
  if (count < 0) {
    options->discard_problem = NEGATIVE_DISCARD;
  } else {
    options->discard_count = count;
  }
}

// A positive finite number, read as strtod reads it to the text's end.
std::optional<double> positive_number(const char* text) {
  char* end = nullptr;
  const int saved_errno = errno;
  const double value = strtod(text, &end);
  errno = saved_errno;
  if (end == text || *end != '\0' || !(value > 0) || !std::isfinite(value)) return std::nullopt;
  return value;
}

// Takes the value of --follow=, --target-error or --target-relative; a bad
// one sets the problem's message.
void take_positive(const char* value, const char* problem, std::optional<double>* number,
                   long_options* options) {
  *number = positive_number(value);
  if (!*number) options->value_problem = problem;
}

}  // namespace

long_option_request take_long_options(int* argc, char** argv, long_options* options) {
  long_option_request request = RUN_AS_USUAL;
  if (*argc < 1) return request;  // started without even a program name
  int kept = 1;
  int next = 1;
  while (next < *argc) {
    const char* argument = argv[next];
    const char* value = nullptr;
    int taken = 0;  // arguments a long option with a value takes: 1 or 2
    if (strcmp(argument, "--") == 0) {
      while (next < *argc) argv[kept++] = argv[next++];
      break;
    }
    if (strcmp(argument, "--help") == 0 || strcmp(argument, "--version") == 0) {
      if (request == RUN_AS_USUAL) request = argument[2] == 'h' ? SHOW_HELP : SHOW_VERSION;
      next++;
    } else if (strcmp(argument, "--auto") == 0) {
      options->automatic = true;
      next++;
    } else if (strcmp(argument, "--stream") == 0) {
      options->stream = true;
      next++;
    } else if (strcmp(argument, "--follow") == 0) {
      options->follow_seconds = DEFAULT_FOLLOW_SECONDS;
      next++;
    } else if (strncmp(argument, "--follow=", 9) == 0) {
      take_positive(argument + 9, "Argument of --follow must be a positive number of seconds.\n",
                    &options->follow_seconds, options);
      next++;
    } else if ((taken = long_option_value("--target-error", next, *argc, argv, &value)) > 0) {
      take_positive(value, "Argument of --target-error must be a positive number.\n",
                    &options->targets.error, options);
      next += taken;
    } else if ((taken = long_option_value("--target-relative", next, *argc, argv, &value)) > 0) {
      take_positive(value, "Argument of --target-relative must be a positive number.\n",
                    &options->targets.relative, options);
      next += taken;
    } else if ((taken = long_option_value("--json", next, *argc, argv, &value)) > 0) {
      options->json_path = value;
      next += taken;
    } else if ((taken = long_option_value("--discard", next, *argc, argv, &value)) > 0) {
      take_discard(value, options);
      next += taken;
    } else {
      argv[kept++] = argv[next++];
      if (takes_next_argument(argument) && next < *argc) argv[kept++] = argv[next++];
    }
  }
  argv[kept] = nullptr;
  *argc = kept;
  return request;
}

namespace {

// Puts what the long options set into `settings`, which parse_command_line
// has filled. For --discard given with -i writes the message and returns
// false.
bool apply_long_options(const long_options& taken, run_settings* settings) {
  const bool discard_given = taken.discard_auto || taken.discard_count.has_value();
  if (discard_given && settings->discard_given) {
    fputs(taken.discard_auto ? "--discard=auto and -i cannot be used together.\n"
                             : "--discard and -i cannot be used together.\n",
          stderr);
    return false;
  }
  const bool follow = taken.follow_seconds.has_value();
  if ((taken.targets.error || taken.targets.relative) && !follow) {
    fputs("--target-error and --target-relative need --follow.\n", stderr);
    return false;
  }
  if (taken.discard_auto && follow) {
    fputs("--discard=auto cannot be used with --follow: its search needs the whole chain.\n",
          stderr);
    return false;
  }
  if (taken.discard_auto && taken.stream && strcmp(settings->input_name, "STDIN") == 0) {
    fputs("--discard=auto with --stream reads its file twice: not from STDIN.\n", stderr);
    return false;
  }
  settings->stream = taken.stream || follow;
  settings->follow = follow;
  if (follow) settings->follow_seconds = *taken.follow_seconds;
  settings->targets = taken.targets;
  settings->json_path = taken.json_path;
  settings->automatic = taken.automatic;
  settings->discard_auto = taken.discard_auto;
  if (taken.discard_count) settings->discard_count = *taken.discard_count;
  return true;
}

}  // namespace

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
        fputs(NEGATIVE_DISCARD, stderr);
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

bool settle_command_line(int argc, char** argv, const long_options& taken, run_settings* settings) {
  if (taken.discard_problem != nullptr || taken.value_problem != nullptr) {
    fputs(taken.discard_problem != nullptr ? taken.discard_problem : taken.value_problem, stderr);
    usage_with_long_options();
    return false;
  }
  if (!parse_command_line(argc, argv, settings)) {
    usage_info();
    return false;
  }
  if (!apply_long_options(taken, settings)) {
    usage_with_long_options();
    return false;
  }
  return true;
}
