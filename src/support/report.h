// How a run tells its caller what happens while it reads: progress texts,
// comment echoes, warnings and an early end, each as it happens; and how the
// caller may stop a run that takes too long.
#ifndef VARBLOC_SUPPORT_REPORT_H
#define VARBLOC_SUPPORT_REPORT_H

#include <clocale>  // locale_t (through <locale.h> on glibc)
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "support/error.h"  // error_code

enum report_kind {
  REPORT_PROGRESS,    // announcements: input, column count, storage
  REPORT_READING,     // "Reading file...": the column count is settled, lines follow
  REPORT_READ_COUNT,  // the read-count line: the samples stored and discarded
  REPORT_COMMENT,     // the echo of a comment line
  REPORT_WARNING,     // a warning: code and message; the text is its frame
  REPORT_EARLY_END,   // the run ends here without an analysis (status 0)
};

// One event. `text` holds exactly the bytes the program prints for it (not
// NUL-terminated); `code` and `message` are set for warnings only;
// `data_lines`, for comment echoes only, counts the non-comment lines read
// before the comment (else -1).
struct report_event {
  report_kind kind;
  const char* text;
  size_t length;
  error_code code;
  const char* message;
  int64_t data_lines;
};

// The caller's side of a run. Either function may be null.
struct run_hooks {
  // Called for every event, in order.
  void (*report)(void* context, const report_event& event);
  // Polled now and then during long work; true stops the run, which then
  // throws run_interrupted after releasing what it holds.
  bool (*interrupted)(void* context);
  void* context;
};

// Bytes a caller hands to a run in place of a file (a Python file object).
struct byte_source {
  // Copies at most `capacity` bytes into `buffer` and returns their count, 0
  // at the end. May throw to stop the run: run_interrupted when the caller
  // keeps its own reason (a Python exception).
  size_t (*read)(void* context, char* buffer, size_t capacity);
  void* context;
};

// One kind of warning of a run: how often it came and its first message.
struct warning_tally {
  int code;  // the printed number (110)
  int64_t count;
  std::string first;
};

// Counts a warning event among the run's tallies, one per code in order of
// first occurrence.
void tally_warning(std::vector<warning_tally>* tallies, const report_event& event);

// Thrown when run_hooks::interrupted asked the run to stop.
struct run_interrupted : std::exception {
  const char* what() const noexcept override { return "interrupted"; }
};

// Reports a text composed from a printf format.
void report_format(const run_hooks* hooks, report_kind kind, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Reports a fixed text.
void report_text(const run_hooks* hooks, report_kind kind, const char* text, size_t length);
// Reports a comment's echo, read after `data_lines` non-comment lines.
void report_comment(const run_hooks* hooks, const char* text, size_t length, int64_t data_lines);
// Reports a warning in its frame.
void report_warning(const run_hooks* hooks, error_code code, const char* message);

// Throws run_interrupted when the caller asks to stop.
void check_interrupted(const run_hooks* hooks);

// Numbers are read and printed as in the C locale while one of these lives,
// whatever locale the calling program has set (for this thread only).
class c_numeric_locale {
 public:
  c_numeric_locale();
  ~c_numeric_locale();
  c_numeric_locale(const c_numeric_locale&) = delete;
  c_numeric_locale& operator=(const c_numeric_locale&) = delete;

 private:
  locale_t previous_;
};

#endif
