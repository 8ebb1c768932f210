#include "analysis/analysis_file.h"

#include <libgen.h>  // dirname
#include <unistd.h>  // access

#include <cstdio>   // snprintf
#include <cstdlib>  // free
#include <cstring>  // strlen, strcmp, strdup
#include <memory>   // unique_ptr

#include "support/alloc.h"
#include "support/append.h"
#include "support/error.h"

namespace {

// Longest text "%16.10f" gives for a double: sign, the 309 integer digits of
// the largest finite value, the point and 10 decimals ("-inf" and "-nan" are
// shorter).
constexpr size_t MAX_FIXED_FIELD = 1 + 309 + 1 + 10;
// Longest analysis-file text of one column: blank, mean, blank, error.
constexpr size_t MAX_COLUMN_TEXT = 2 * (1 + MAX_FIXED_FIELD);

struct free_deleter {
  void operator()(void* memory) const { free(memory); }
};

// Formats the analysis-file line: per column "%16.10f %16.10f" (mean and
// final error), columns separated by one blank, ended by a newline. Returns
// the text and its length.
std::unique_ptr<char, free_deleter> format_analysis_line(int32_t column_count, const double* mean,
                                                         const double* error, size_t* length) {
  size_t capacity = static_cast<size_t>(column_count) * MAX_COLUMN_TEXT + 2;
  std::unique_ptr<char, free_deleter> line(static_cast<char*>(xmalloc(capacity)));
  size_t used = 0;
  for (int32_t c = 0; c < column_count; c++) {
    used += static_cast<size_t>(snprintf(line.get() + used, capacity - used,
                                         c == 0 ? "%16.10f %16.10f" : " %16.10f %16.10f", mean[c],
                                         error[c]));
  }
  line.get()[used++] = '\n';
  *length = used;
  return line;
}

// Longest analysis-file path accepted.
constexpr size_t MAX_OUTPUT_PATH = 1024;

}  // namespace

analysis_file_outcome write_analysis_file(int32_t column_count, const double* mean,
                                          const double* final_error, const char* path,
                                          std::string* message) {
  message->clear();
  if (strlen(path) > MAX_OUTPUT_PATH) {
    *message = "\nPathname too long. Skipping creation of analysis file.\n";
    return ANALYSIS_FILE_SKIPPED;
  }
  std::unique_ptr<char, free_deleter> copy(strdup(path));  // dirname may modify its argument
  if (copy == nullptr) throw allocation_error();
  const char* directory = dirname(copy.get());
  if (access(directory, W_OK) != 0) {
    if (strcmp(directory, ".") == 0) {
      *message = "\nCannot write in current directory. Skipping creation of analysis file.\n";
    } else {
      *message = compose_message(
          "\nCannot write in directory %s. Skipping creation of analysis file.\n", directory);
    }
    return ANALYSIS_FILE_SKIPPED;
  }
  // The line is formatted whole first and appended in one locked write, so
  // runs sharing the file never mix their lines, and a failed write leaves
  // the file as it was.
  size_t length = 0;
  std::unique_ptr<char, free_deleter> line =
      format_analysis_line(column_count, mean, final_error, &length);
  append_result appended = append_record(path, line.get(), length);
  if (appended == APPEND_NOT_OPENED) {
    *message = compose_message(
        "\nCannot open %s for writing. Skipping creation of analysis file.\n", path);
    return ANALYSIS_FILE_SKIPPED;
  }
  if (appended == APPEND_FAILED)
    fatal_format(ERROR_ANALYSIS_FILE_NOT_WRITTEN, "Could not write analysis file %s", path);
  return ANALYSIS_FILE_WRITTEN;
}
