// varbloc_baseline: a plain, independent implementation of varbloc, the
// blocking error analysis of correlated samples.
//
// It reads the data with fgets into a fixed line buffer, splits fields with
// strtok and converts each used field with sscanf("%lf"); the analysis runs
// level by level on a working copy of the samples with separate block rows.
// It is the baseline for benchmarks of the fast program and a reference whose
// standard error output and analysis file match the fast program byte for byte.
//
// Build: g++ -std=c++17 -O2 -ffp-contract=off -Wall -Wextra -Werror
//            bench/baseline/varbloc_baseline.cpp -o build/varbloc_baseline -lm

#include <libgen.h>  // dirname
#include <unistd.h>  // getopt, access

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static const int32_t MAX_COLUMNS = 2048;
static const int LINE_BUFFER_SIZE = 65536;
static const int CHUNK = LINE_BUFFER_SIZE - 1;  // most bytes one fgets call reads
static const int LABEL_SIZE = 40;
static const int ECHO_LIMIT = 79;  // comment bytes echoed at most
static const int32_t BLOCK_SIZES[10] = {5, 10, 50, 100, 500, 1000, 5000, 10000, 50000, 1};
static const double DECORR_THRESHOLD = 0.1;
static const int32_t MIN_ENTRIES_PER_COLUMN = 10000;
static const uint64_t DEFAULT_ALLOC_BUDGET = 2000000000ULL;
static const int64_t MAX_ALLOC_FACTOR = 9223372036LL;

// ---------------------------------------------------------------- failures

// Formats a message of any length into freshly allocated memory.
static char* format_message(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int length = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length < 0) length = 0;
  char* text = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
  if (text == nullptr) return const_cast<char*>("(message lost: out of memory)");
  vsnprintf(text, static_cast<size_t>(length) + 1, format, args);
  return text;
}

// Prints a framed fatal error and ends the process with the (negative) code.
static void fatal(int code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  fprintf(stderr, "\nFatal error %i: ", -code);
  vfprintf(stderr, format, args);
  va_end(args);
  fputs(".\nProgram halted.\n\n", stderr);
  exit(code);
}

static void warning(int code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  char* message = format_message(format, args);
  va_end(args);
  fprintf(stderr, "\nWarning %i: %s.\n", -code, message);
  free(message);
}

// Allocation that never returns empty-handed; a zero size is not a failure.
static void* xmalloc(size_t bytes) {
  void* memory = malloc(bytes == 0 ? 1 : bytes);
  if (memory == nullptr) fatal(-99, "Alloc: Virtual memory exhausted");
  return memory;
}

// ---------------------------------------------------------------- storage

// A table of row pointers into one contiguous block; null when empty or when
// memory runs out (the caller may retry with fewer entries).
static double** allocate_double_matrix(int32_t rows, int32_t length) {
  int64_t total = static_cast<int64_t>(rows) * length;
  if (total <= 0) return nullptr;
  if (static_cast<uint64_t>(total) > SIZE_MAX / sizeof(double)) return nullptr;
  double** table = static_cast<double**>(malloc(sizeof(double*) * static_cast<size_t>(rows)));
  if (table == nullptr) return nullptr;
  double* block = static_cast<double*>(malloc(sizeof(double) * static_cast<size_t>(total)));
  if (block == nullptr) {
    free(table);
    return nullptr;
  }
  for (int32_t r = 0; r < rows; r++) table[r] = block + static_cast<int64_t>(r) * length;
  return table;
}

static void free_double_matrix(double** matrix) {
  if (matrix == nullptr) return;
  free(matrix[0]);
  free(matrix);
}

// Decimal megabytes of a store: entries times 1e-6 first, then columns and 8.
static unsigned storage_megabytes(int32_t entries, int32_t columns) {
  double mb = static_cast<double>(entries) * 1e-6;
  mb = mb * static_cast<double>(columns);
  mb = mb * 8.0;
  return static_cast<unsigned>(static_cast<uint64_t>(mb));
}

// Sizes the sample store from the byte budget, halving on allocation failure.
static double** allocate_storage(int32_t columns, int32_t* entries_per_column, uint64_t budget) {
  uint64_t quotient = budget / (8ULL * static_cast<uint64_t>(columns));
  if (quotient > static_cast<uint64_t>(INT32_MAX)) quotient = INT32_MAX;
  int32_t entries = static_cast<int32_t>(quotient);
  double** store = allocate_double_matrix(columns, entries);
  while (store == nullptr) {
    entries = entries / 2;
    store = allocate_double_matrix(columns, entries);
    if (entries < MIN_ENTRIES_PER_COLUMN)
      fatal(-300, "Could not allocate storage array (%d entries per column -> %u MB)", entries,
            storage_megabytes(entries, columns));
  }
  if (entries <= 9999999) {
    fprintf(stderr, "Storage per column set to %d entries (%u MB total)\n", entries,
            storage_megabytes(entries, columns));
    fputs("If this is insufficient, use -a or analyze data in sets of fewer columns via -c\n\n",
          stderr);
  }
  *entries_per_column = entries;
  return store;
}

// ---------------------------------------------------------------- kernels

// Standard error of the mean and lag-1 correlation of every column around the
// given means; sums run in sample order, every operation rounded on its own.
static void calc_additional_errors(int64_t n, double** rows, int32_t columns, const double* mean,
                                   double* error, double* correlation) {
  static double squares[MAX_COLUMNS];
  static double previous[MAX_COLUMNS];
  for (int32_t c = 0; c < columns; c++) {
    squares[c] = 0.0;
    correlation[c] = 0.0;
    previous[c] = 0.0;
  }
  for (int64_t i = 0; i < n; i++) {
    for (int32_t c = 0; c < columns; c++) {
      double d = rows[c][i] - mean[c];
      squares[c] = squares[c] + d * d;
      correlation[c] = correlation[c] + previous[c] * d;
      previous[c] = d;
    }
  }
  double big_n = static_cast<double>(n);
  double big_m = static_cast<double>(n - 1);
  for (int32_t c = 0; c < columns; c++) {
    double s = squares[c];
    error[c] = sqrt(fabs(s)) / sqrt(big_n * big_m);
    correlation[c] = (s == 0.0) ? 1.0 : (correlation[c] * big_n) / (s * big_m);
  }
}

// Averages of the n / b whole blocks of every source row into the destination.
static int32_t pair_additional_data(int64_t n, int32_t b, double** source, double** destination,
                                    int32_t columns) {
  int64_t blocks = n / b;
  for (int32_t c = 0; c < columns; c++)
    for (int64_t k = 0; k < blocks; k++) destination[c][k] = 0.0;
  for (int64_t k = 0; k < blocks; k++) {
    for (int32_t t = 0; t < b; t++)
      for (int32_t c = 0; c < columns; c++) destination[c][k] += source[c][k * b + t];
    for (int32_t c = 0; c < columns; c++) destination[c][k] /= b;
  }
  return static_cast<int32_t>(blocks);
}

// ---------------------------------------------------------------- reports

static void write_averages(int64_t values, int32_t columns, const double* mean, const double* error,
                           const double* correlation, const int64_t* decorr_samples,
                           char** labels) {
  fprintf(stderr, "\nAverages for %li samples:\n\n", static_cast<long>(values));
  for (int32_t c = 0; c < columns; c++) {
    fprintf(stderr, "%s: %16.10f +/- %16.10f   Corr. coeff.: % f", labels[c], mean[c], error[c],
            correlation[c]);
    if (decorr_samples[c] == values) fputs(" <", stderr);
    fputs("\n", stderr);
  }
}

// Prints the summary and appends one line of means and final errors.
static void write_summary(int64_t n, int32_t columns, const double* mean, const double* error,
                          const double* correlation, const int64_t* decorr_samples, char** labels,
                          const char* path) {
  fprintf(stderr, "\nSummary of error and correlation analysis (initial sample size %li)\n\n",
          static_cast<long>(n));
  for (int32_t c = 0; c < columns; c++) {
    if (decorr_samples[c] > 0)
      fprintf(stderr, "%s: %16.10f +/- %16.10f   (correlation % f with %li samples)\n", labels[c],
              mean[c], error[c], correlation[c], static_cast<long>(decorr_samples[c]));
    else
      fprintf(stderr,
              "%s: %16.10f +/- %16.10f   (correlation % f with %li samples) *** not "
              "decorrelated ***\n",
              labels[c], mean[c], error[c], correlation[c], static_cast<long>(-decorr_samples[c]));
  }
  if (strlen(path) > 1024) {
    fputs("\nPathname too long. Skipping creation of analysis file.\n", stderr);
    return;
  }
  char* copy = static_cast<char*>(xmalloc(strlen(path) + 1));
  strcpy(copy, path);
  const char* directory = dirname(copy);
  if (access(directory, W_OK) != 0) {
    if (strcmp(directory, ".") == 0)
      fputs("\nCannot write in current directory. Skipping creation of analysis file.\n", stderr);
    else
      fprintf(stderr, "\nCannot write in directory %s. Skipping creation of analysis file.\n",
              directory);
    free(copy);
    return;
  }
  free(copy);
  FILE* out = fopen(path, "a");
  if (out == nullptr) {
    fprintf(stderr, "\nCannot open %s for writing. Skipping creation of analysis file.\n", path);
    return;
  }
  bool failed = false;
  for (int32_t c = 0; c < columns; c++) {
    if (c > 0 && fputs(" ", out) < 0) failed = true;
    if (fprintf(out, "%16.10f %16.10f", mean[c], error[c]) < 0) failed = true;
  }
  if (fputs("\n", out) < 0) failed = true;
  if (ferror(out)) failed = true;
  if (fclose(out) != 0) failed = true;
  if (failed) fatal(-120, "Could not write analysis file %s", path);
}

// ---------------------------------------------------------------- analysis

// The blocking analysis: level 0 on the samples, then block averages of
// growing size, each formed from the working copy of the samples.
static void collect_additional_data(int64_t n, double** samples, int32_t columns, char** labels,
                                    const char* path) {
  static double mean[MAX_COLUMNS], error[MAX_COLUMNS], correlation[MAX_COLUMNS];
  static double final_error[MAX_COLUMNS], final_correlation[MAX_COLUMNS];
  static int64_t decorr_samples[MAX_COLUMNS];
  static double* work[MAX_COLUMNS];
  static double* block[MAX_COLUMNS];

  for (int32_t c = 0; c < columns; c++) {
    work[c] = static_cast<double*>(xmalloc(sizeof(double) * static_cast<size_t>(n)));
    mean[c] = 0.0;
    decorr_samples[c] = 0;
  }
  for (int64_t i = 0; i < n; i++) {
    for (int32_t c = 0; c < columns; c++) {
      work[c][i] = samples[c][i];
      mean[c] = mean[c] + work[c][i];
    }
  }
  for (int32_t c = 0; c < columns; c++) mean[c] = mean[c] / static_cast<double>(n);

  // Level 0: the samples themselves.
  calc_additional_errors(n, work, columns, mean, error, correlation);
  for (int32_t c = 0; c < columns; c++) {
    if (correlation[c] < DECORR_THRESHOLD) {
      decorr_samples[c] = n;
      final_error[c] = error[c];
      final_correlation[c] = correlation[c];
    }
  }
  write_averages(n, columns, mean, error, correlation, decorr_samples, labels);

  for (int32_t c = 0; c < columns; c++)
    block[c] = static_cast<double*>(xmalloc(sizeof(double) * static_cast<size_t>(n / 5)));

  int32_t last_block_size = 1;
  if (n / 5 > 10) {
    int i = 1;
    while (!(n / BLOCK_SIZES[i] <= 10 || BLOCK_SIZES[i] <= 1)) i++;
    last_block_size = BLOCK_SIZES[i - 1];
    for (int level = 0; level < 10; level++) {
      int32_t size = BLOCK_SIZES[level];
      int64_t blocks = n / size;
      if (!(blocks > 10 && blocks < n)) break;
      pair_additional_data(n, size, work, block, columns);
      calc_additional_errors(blocks, block, columns, mean, error, correlation);
      for (int32_t c = 0; c < columns; c++) {
        if (correlation[c] < DECORR_THRESHOLD && decorr_samples[c] == 0) {
          decorr_samples[c] = blocks;
          final_error[c] = error[c];
          final_correlation[c] = correlation[c];
        }
      }
      write_averages(blocks, columns, mean, error, correlation, decorr_samples, labels);
    }
  }

  // Columns never decorrelated keep the last level's values.
  for (int32_t c = 0; c < columns; c++) {
    if (decorr_samples[c] == 0) {
      final_error[c] = error[c];
      final_correlation[c] = correlation[c];
      decorr_samples[c] = -(n / last_block_size);
    }
  }
  write_summary(n, columns, mean, final_error, final_correlation, decorr_samples, labels, path);

  for (int32_t c = 0; c < columns; c++) {
    free(work[c]);
    free(block[c]);
  }
}

// ---------------------------------------------------------------- command line

static void usage_info() {
  fputs("Usage: varbloc [optional arguments] <datafile> [number of columns]\n\n", stderr);
  fputs("Input file may be gzip'ed (filename STDIN will read from standard input).\n", stderr);
  fputs(
      "If number of columns is omitted, it is determined from first data line (but -c is "
      "obeyed).\n\n",
      stderr);
  fputs("Optional arguments:\n", stderr);
  fputs("\t-a <n>\tallocate n times the default number of entries\n", stderr);
  fputs("\t-c <n>\tignore first c columns in each line\n", stderr);
  fputs("\t-i <m>\tdiscard initial m samples\n", stderr);
  fputs("\t-o <file> write averages and error estimates to file (default ana.dat)\n", stderr);
  fputs("\n", stderr);
}

static void fail_command_line() {
  usage_info();
  exit(1);
}

// Base-10 signed 64-bit number, narrowed to its low 32 bits where asked.
static int64_t read_number(const char* text) {
  return strtoll(text, nullptr, 10);
}
static int32_t low_32_bits(int64_t value) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
}

// ---------------------------------------------------------------- reading

// The line buffer is kept filled with '\n' outside the bytes of the last read,
// so the number of bytes fgets read can be told even when it stored NUL bytes:
// the read ends at the first '\n' followed by its terminator, or just before a
// terminator that is followed by untouched filler.
static char line[LINE_BUFFER_SIZE];
static int dirty = LINE_BUFFER_SIZE;  // bytes that may differ from the filler

// Reads one chunk into the line buffer; returns the bytes read, or -1.
static int read_chunk(FILE* in) {
  memset(line, '\n', static_cast<size_t>(dirty));
  dirty = LINE_BUFFER_SIZE;
  if (fgets(line, LINE_BUFFER_SIZE, in) == nullptr) return -1;
  const char* found = static_cast<const char*>(memchr(line, '\n', LINE_BUFFER_SIZE));
  int count;
  if (found == nullptr) {
    count = CHUNK;
  } else {
    int q = static_cast<int>(found - line);
    if (q + 1 < LINE_BUFFER_SIZE && line[q + 1] == '\0')
      count = q + 1;
    else
      count = q - 1;
  }
  dirty = count + 1;
  return count;
}

int main(int argc, char** argv) {
  fputs("\nvarbloc: blocking error analysis of correlated samples (06/24/14)\n\n", stderr);

  uint64_t alloc_budget = DEFAULT_ALLOC_BUDGET;
  int32_t skip_columns = 0;
  int32_t discard_count = 0;
  const char* output_path = "ana.dat";

  int option;
  while ((option = getopt(argc, argv, "a:c:i:o:")) != -1) {
    if (option == 'a') {
      int64_t factor = read_number(optarg);
      if (factor < 1 || factor > MAX_ALLOC_FACTOR) {
        fprintf(stderr, "Argument of -a must be in range [1,%lu].\n",
                static_cast<unsigned long>(MAX_ALLOC_FACTOR));
        fail_command_line();
      }
      uint64_t product;
      if (__builtin_mul_overflow(alloc_budget, static_cast<uint64_t>(factor), &product))
        product = UINT64_MAX;
      alloc_budget = product;
    } else if (option == 'c' || option == 'i') {
      int32_t value = low_32_bits(read_number(optarg));
      if (value < 0) {
        fputs(option == 'c' ? "Argument of -c must be nonnegative.\n"
                            : "Number of discarded samples must be non-negative.\n",
              stderr);
        fail_command_line();
      }
      if (option == 'c')
        skip_columns = value;
      else
        discard_count = value;
    } else if (option == 'o') {
      if (strchr(optarg, '-') != nullptr) {
        fputs("Error: File option needs filename argument.\n\n", stderr);
        fail_command_line();
      }
      output_path = optarg;
    } else {
      fail_command_line();  // getopt has printed its own diagnostic
    }
  }
  int positional = argc - optind;
  if (positional < 1 || positional > 2) fail_command_line();
  const char* name = argv[optind];
  const char* column_argument = positional == 2 ? argv[optind + 1] : nullptr;

  // Open the input: standard input, a decompression pipe, or a plain file.
  FILE* in = nullptr;
  bool is_pipe = false;
  size_t name_length = strlen(name);
  if (strcmp(name, "STDIN") == 0) {
    fputs("Reading from standard input.\n", stderr);
    in = stdin;
  } else {
    if (access(name, F_OK) != 0) fatal(-1, "Cannot open input file %s", name);
    in = fopen(name, "r");
    if (in == nullptr) fatal(-1, "Cannot open input file %s", name);
    if (name_length >= 4 && strcmp(name + name_length - 3, ".gz") == 0) {
      fclose(in);
      // The name is quoted for the shell: every ' becomes '\''.
      std::string command = "gzip -dc '";
      for (const char* p = name; *p != '\0'; p++) {
        if (*p == '\'')
          command += "'\\''";
        else
          command += *p;
      }
      command += "'";
      in = popen(command.c_str(), "r");
      if (in == nullptr) fatal(-1, "Cannot open input file %s", name);
      is_pipe = true;
    }
  }

  int32_t column_count = -1;
  int32_t entries_per_column = 0;
  double** store = nullptr;
  if (column_argument != nullptr) {
    column_count = low_32_bits(read_number(column_argument));
    if (column_count <= 0) fatal(-2, "Please specify a positive number of columns");
    if (column_count - skip_columns > MAX_COLUMNS)
      fatal(-3, "Cannot handle more than %d columns", MAX_COLUMNS);
    fprintf(stderr, "Will read %d columns", column_count);
    if (skip_columns != 0)
      fprintf(stderr, " (ignoring first %d).\n", skip_columns);
    else
      fputs(".\n", stderr);
    store = allocate_storage(column_count, &entries_per_column, alloc_budget);
  }

  char** labels = static_cast<char**>(xmalloc(sizeof(char*) * MAX_COLUMNS));
  for (int32_t c = 0; c < MAX_COLUMNS; c++) labels[c] = static_cast<char*>(xmalloc(LABEL_SIZE));
  fputs("Reading file...\n", stderr);

  static double row[MAX_COLUMNS];
  int32_t samples_read = 0, comment_lines = 0, discarded = 0;
  int32_t line_tokens = 0, reference_tokens = 0;
  int last_conversion = 0;
  double last_value = 0.0;  // most recently converted value in the run

  while (!feof(in) && !ferror(in)) {
    int ch = fgetc(in);
    if (ch == '#') {
      // Comment line: echo at most 79 bytes, skip the rest of a long line.
      int count = read_chunk(in);
      if (count >= 0) {
        // The echo is the text up to its first NUL byte, cut to 79 bytes and a newline.
        if (line[0] != '\n') {
          if (strlen(line) <= static_cast<size_t>(ECHO_LIMIT))
            fprintf(stderr, "Comment: %s", line);
          else
            fprintf(stderr, "Comment: %.79s\n", line);
        }
        if (count == CHUNK && line[CHUNK - 1] != '\n')
          while (read_chunk(in) == CHUNK && line[CHUNK - 1] != '\n') {
          }
      }
      comment_lines++;
      continue;
    }
    if (ch == EOF) continue;   // end of input (or a read error) ends the loop
    if (ch == 0x1A) continue;  // a control-Z at the start of a line is dropped
    ungetc(ch, in);
    int count = read_chunk(in);
    if (count < 0) continue;
    if (count == CHUNK) fatal(-40, "Chunk size too small. Contact Tavrosk");

    int32_t line_number = samples_read + comment_lines + discarded + 1;
    int32_t values = 0;
    if (strcmp(line, "\n") != 0 && strcmp(line, "\r\n") != 0) {
      // Cut the line end: LF or CR LF, or a lone CR on the last line.
      size_t length = strlen(line);
      if (length > 0 && line[length - 1] == '\n') {
        line[--length] = '\0';
        if (length > 0 && line[length - 1] == '\r') line[--length] = '\0';
      } else if (length > 0 && line[length - 1] == '\r') {
        line[--length] = '\0';
      }
      int32_t position = 0;
      for (char* field = strtok(line, " \t"); field != nullptr; field = strtok(nullptr, " \t")) {
        bool used = position >= skip_columns &&
                    (column_count == -1 || position - skip_columns < column_count);
        if (used) {
          double value = 0.0;
          int result = sscanf(field, "%lf", &value);
          if (result == 0)
            fatal(-70, "Non-numerical data in line %d column %d (columns count from 0)",
                  line_number, position);
          last_conversion = result;
          if (result == 1)
            last_value = value;
          else
            value = last_value;  // white space only: repeat the last value
          if (values < MAX_COLUMNS) row[values++] = value;
        }
        position++;
      }
      line_tokens = position;
    }

    if (discarded != discard_count) {
      discarded++;
      continue;
    }

    bool detected_here = false;
    if (column_count == -1) {
      if (last_conversion == -1)
        fatal(-50, "Could not determine number of columns in first data line");
      if (line_tokens == 0) {
        fputs("\nNo columns found in first data line. Terminating.\n\n", stderr);
        exit(0);
      }
      if (line_tokens <= skip_columns) {
        fprintf(stderr, "Ignoring all %d columns. Terminating.\n\n", line_tokens);
        exit(0);
      }
      if (values == 0) {
        fputs("\nNo data columns found in first data line. Terminating.\n\n", stderr);
        exit(0);
      }
      fprintf(stderr, "Found %d columns in first data line.\n", line_tokens);
      if (line_tokens - skip_columns > MAX_COLUMNS) {
        if (skip_columns != 0)
          fprintf(stderr, "Too many columns. Ignoring first %d, using next %d.\n", skip_columns,
                  values);
        else
          fprintf(stderr, "Too many columns. Using first %d.\n", values);
      } else if (skip_columns != 0) {
        fprintf(stderr, "Ignoring first %d columns, using next %d.\n", skip_columns, values);
      }
      column_count = values;
      store = allocate_storage(column_count, &entries_per_column, alloc_budget);
      detected_here = true;
    }

    if (!detected_here && values < column_count)
      fatal(-100, "Expected %d columns, found only %d in line %d", column_count, values,
            line_number);
    if (reference_tokens == 0)
      reference_tokens = line_tokens;
    else if (line_tokens != reference_tokens)
      warning(-110, "Inconsistent number of columns in line %d (non-fatal)", line_number);
    if (samples_read == entries_per_column)
      fatal(-200, "Cannot handle more than %d lines", entries_per_column);
    for (int32_t c = 0; c < column_count; c++) store[c][samples_read] = row[c];
    samples_read++;
  }

  if (ferror(in)) fatal(-60, "Read error in input file %s", name);
  if (is_pipe)
    pclose(in);
  else
    fclose(in);

  if (samples_read == 0) {
    fprintf(stderr, "\nNo samples read (discarded %d samples). Terminating.\n\n", discarded);
    exit(0);
  }
  fprintf(stderr, "\nRead %d samples (discarded first %d samples).\n", samples_read, discarded);
  for (int32_t c = 0; c < column_count; c++) snprintf(labels[c], LABEL_SIZE, "col %2d", c);

  collect_additional_data(samples_read, store, column_count, labels, output_path);

  fputs("\n", stderr);
  for (int32_t c = 0; c < MAX_COLUMNS; c++) free(labels[c]);
  free(labels);
  free_double_matrix(store);
  return 0;
}
