#include "reader.h"

#include <cstdint>
#include <cstdlib>  // free
#include <cstring>  // memchr, memcpy

#include "analysis/general_error_routines_v3.h"
#include "field_conversion.h"
#include "storage.h"
#include "support/alloc.h"
#include "support/error.h"
#include "support/report.h"

namespace {

constexpr int CONTROL_Z = 0x1A;

// Physical line number of the sample line being read, comment lines counted.
int32_t line_number(const reader_state* state) {
  return state->samples_read + state->comment_lines + state->discarded + 1;
}

// Validates the column count given on the command line and sizes the store.
void take_column_count_argument(reader_state* state, const char* argument) {
  const run_settings* settings = state->settings;
  int32_t count = low_32_bits(parse_integer_argument(argument));
  if (count <= 0) fatal(-2, "Please specify a positive number of columns");
  if (static_cast<int64_t>(count) - settings->skip_columns > MAX_COLUMNS) {
    fatal_format(-3, "Cannot handle more than %d columns", MAX_COLUMNS);
  }
  if (settings->skip_columns != 0) {
    report_format(state->hooks, REPORT_PROGRESS, "Will read %d columns (ignoring first %d).\n",
                  count, settings->skip_columns);
  } else {
    report_format(state->hooks, REPORT_PROGRESS, "Will read %d columns.\n", count);
  }
  state->column_count = count;
  state->store =
      allocate_storage(count, &state->entries_per_column, settings->alloc_budget, state->hooks);
  state->fill_window = store_fill_window(count);
}

// The text of a line chunk ends at its first NUL byte, if it has one.
size_t text_length(const char* chunk, size_t length) {
  const char* nul = static_cast<const char*>(memchr(chunk, '\0', length));
  return nul != nullptr ? static_cast<size_t>(nul - chunk) : length;
}

// A comment line: echoes at most COMMENT_ECHO_LENGTH bytes of its text (up to
// a NUL) and skips the rest of a line longer than one chunk.
void read_comment(line_reader* reader, reader_state* state) {
  state->comment_lines++;
  const char* chunk;
  size_t length;
  if (!next_chunk(reader, &chunk, &length)) return;
  size_t text = text_length(chunk, length);
  char echo[sizeof "Comment: " + COMMENT_ECHO_LENGTH + 1] = "Comment: ";
  size_t prefix = sizeof "Comment: " - 1;
  size_t echoed = text <= COMMENT_ECHO_LENGTH ? text : COMMENT_ECHO_LENGTH;
  memcpy(echo + prefix, chunk, echoed);
  if (text > COMMENT_ECHO_LENGTH) echo[prefix + echoed++] = '\n';
  if (echoed == 0 || echo[prefix] != '\n') {
    report_text(state->hooks, REPORT_COMMENT, echo, prefix + echoed);
  }
  bool line_goes_on = length == MAX_CHUNK && chunk[length - 1] != '\n';
  while (line_goes_on && next_chunk(reader, &chunk, &length)) {
    line_goes_on = length == MAX_CHUNK && chunk[length - 1] != '\n';
  }
}

inline bool is_separator(char c) {
  return c == ' ' || c == '\t';
}

// Keeps the outcome of a used field's conversion; a field that is not a number
// is fatal. A field of white space only has no value of its own: it repeats
// the value most recently converted.
void take_conversion(reader_state* state, conversion_result result, double value,
                     int32_t position) {
  state->last_conversion = result;
  if (result == CONVERSION_FAILED) {
    fatal_format(-70, "Non-numerical data in line %d column %d (columns count from 0)",
                 line_number(state), position);
  }
  if (result == CONVERSION_DONE) state->last_value = value;
  if (state->values_in_line < MAX_COLUMNS) state->row[state->values_in_line++] = state->last_value;
}

// Splits the text of a sample line at runs of blanks and tabs and converts
// its used fields into the row.
void split_fields(reader_state* state, const char* text, const char* end) {
  const int32_t skip = state->settings->skip_columns;
  const int64_t last_used =
      state->column_count < 0 ? INT64_MAX : static_cast<int64_t>(skip) + state->column_count;
  int32_t position = 0;
  const char* p = text;
  for (;;) {
    while (p < end && is_separator(*p)) p++;
    if (p == end) break;
    const char* field = p;
    if (position >= skip && position < last_used) {
      // Plain numbers are parsed in place, which also finds where they end.
      double value = 0;
      const char* stop = convert_plain_decimal(field, end, &value);
      if (stop != nullptr && (stop == end || is_separator(*stop))) {
        p = stop;
        take_conversion(state, CONVERSION_DONE, value, position);
      } else {
        while (p < end && !is_separator(*p)) p++;
        // A number ending at a CR is what sscanf reads too; anything else
        // goes to sscanf without parsing the field a second time.
        conversion_result result = stop != nullptr && *stop == '\r'
                                       ? CONVERSION_DONE
                                       : convert_field_with_scanf(field, p, &value);
        take_conversion(state, result, value, position);
      }
    } else {
      while (p < end && !is_separator(*p)) p++;
    }
    position++;
  }
  state->line_tokens = position;
}

// Reads one sample line; a chunk that fills the line buffer is fatal.
void read_sample_line(line_reader* reader, reader_state* state) {
  const char* chunk;
  size_t length;
  if (!next_chunk(reader, &chunk, &length)) return;
  if (length == MAX_CHUNK) fatal(-40, "Chunk size too small. Contact Tavrosk");
  size_t text = text_length(chunk, length);
  state->values_in_line = 0;
  // An empty line keeps the field count of the line before it.
  if ((text == 1 && chunk[0] == '\n') || (text == 2 && chunk[0] == '\r' && chunk[1] == '\n')) {
    return;
  }
  if (text > 0 && chunk[text - 1] == '\n') {
    text--;
    if (text > 0 && chunk[text - 1] == '\r') text--;
  } else if (text > 0 && chunk[text - 1] == '\r') {
    text--;
  }
  split_fields(state, chunk, chunk + text);
}

// Fixes the column count from the first kept line. Returns false when the run
// ends here (with its message written).
bool detect_column_count(reader_state* state) {
  const int32_t skip = state->settings->skip_columns;
  if (state->last_conversion == CONVERSION_ONLY_WHITE_SPACE) {
    fatal(-50, "Could not determine number of columns in first data line");
  }
  const run_hooks* hooks = state->hooks;
  if (state->line_tokens == 0) {
    report_format(hooks, REPORT_EARLY_END, "%s",
                  "\nNo columns found in first data line. Terminating.\n\n");
    return false;
  }
  if (state->line_tokens <= skip) {
    report_format(hooks, REPORT_EARLY_END, "Ignoring all %d columns. Terminating.\n\n",
                  state->line_tokens);
    return false;
  }
  if (state->values_in_line == 0) {
    report_format(hooks, REPORT_EARLY_END, "%s",
                  "\nNo data columns found in first data line. Terminating.\n\n");
    return false;
  }
  report_format(hooks, REPORT_PROGRESS, "Found %d columns in first data line.\n",
                state->line_tokens);
  if (static_cast<int64_t>(state->line_tokens) - skip > MAX_COLUMNS) {
    if (skip != 0) {
      report_format(hooks, REPORT_PROGRESS, "Too many columns. Ignoring first %d, using next %d.\n",
                    skip, state->values_in_line);
    } else {
      report_format(hooks, REPORT_PROGRESS, "Too many columns. Using first %d.\n",
                    state->values_in_line);
    }
  } else if (skip != 0) {
    report_format(hooks, REPORT_PROGRESS, "Ignoring first %d columns, using next %d.\n", skip,
                  state->values_in_line);
  }
  state->column_count = state->values_in_line;
  state->store = allocate_storage(state->column_count, &state->entries_per_column,
                                  state->settings->alloc_budget, hooks);
  state->fill_window = store_fill_window(state->column_count);
  return true;
}

// Stores the current line as one sample of every used column.
void accept_sample(reader_state* state, bool count_known_before) {
  if (count_known_before && state->values_in_line < state->column_count) {
    fatal_format(-100, "Expected %d columns, found only %d in line %d", state->column_count,
                 state->values_in_line, line_number(state));
  }
  if (state->reference_tokens == 0) {
    state->reference_tokens = state->line_tokens;
  } else if (state->line_tokens != state->reference_tokens) {
    const std::string message = compose_message(
        "Inconsistent number of columns in line %d (non-fatal)", line_number(state));
    report_warning(state->hooks, -110, message.c_str());
  }
  if (state->samples_read == state->entries_per_column) {
    fatal_format(-200, "Cannot handle more than %d lines", state->entries_per_column);
  }
  if (state->samples_read == state->next_fill_at && state->fill_window != 0) {
    prepare_store_rows(state->store, state->column_count, state->entries_per_column,
                       state->samples_read, state->fill_window);
    state->next_fill_at += state->fill_window;
  }
  for (int32_t c = 0; c < state->column_count; c++) {
    state->store[c][state->samples_read] = state->row[c];
    state->column_sum[c] = state->column_sum[c] + state->row[c];
  }
  state->samples_read++;
}

// A byte that may follow a field in the fast path below: a separator, the
// line end, or a CR (which must begin CR LF).
inline bool ends_plain_field(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Moves the `count` staged lines, samples first to first + count - 1, to the
// store and adds them to the column sums, in sample order. Each column gets
// its values side by side: a wide store is written a cache line per column at
// a time instead of one value into every column's page per line.
inline void store_staged_lines(reader_state* state, int32_t first, int count) {
  if (count == 1) {  // a narrow store's line: without the loop over lines
    for (int32_t c = 0; c < state->column_count; c++) {
      const double value = state->staged[c];
      state->store[c][first] = value;
      state->column_sum[c] = state->column_sum[c] + value;
    }
    return;
  }
  for (int32_t c = 0; c < state->column_count; c++) {
    double* const samples = state->store[c] + first;
    double sum = state->column_sum[c];
    for (int line = 0; line < count; line++) {
      const double value = state->staged[line * state->column_count + c];
      samples[line] = value;
      sum = sum + value;
    }
    state->column_sum[c] = sum;
  }
}

#ifdef VARBLOC_FUZZING
}  // namespace
bool in_place_lines_enabled = true;
int32_t gather_columns = GATHER_COLUMNS;
namespace {
inline bool in_place_lines_allowed() {
  return in_place_lines_enabled;
}
inline int32_t gather_above() {
  return gather_columns;
}
#else
inline bool in_place_lines_allowed() {
  return true;
}
inline int32_t gather_above() {
  return GATHER_COLUMNS;
}
#endif

// The common case, handled in place in the read buffer: a sample line of plain
// decimal numbers separated by blanks and tabs and ended by LF or CR LF,
// shorter than a chunk, with as many fields as the first stored line, once the
// column count is settled and the discarded samples are behind. Such lines
// are parsed and stored without being copied or scanned twice: each field is
// walked once, by the number scan for a used field, which also finds where it
// ends. The first line that is anything else (a comment, a short or long
// line, a field that needs sscanf, a NUL, a CR other than the one before the
// LF, a line that runs past the bytes read so far) is left unconsumed and
// untouched, with the state as it was, for the general rules to read. Values
// go to the store a line at a time, or for a wide store STAGED_LINES lines at
// a time (see store_staged_lines); those of a line that is left are dropped.
// The number scan is inlined here (flatten): a call per field costs more than
// it saves; the loop itself is not inlined into its caller, whose registers
// it would share.
// EVERY_FIELD_USED: no leading columns are skipped and the lines have no
// fields beyond the used ones (the common case), so no field's position needs
// a test.
template <bool EVERY_FIELD_USED>
__attribute__((flatten, noinline)) void read_plain_lines(reader_state* state) {
  line_reader* reader = &state->reader;
  const char* p = unread_begin(reader);
  const char* const end = unread_end(reader);
  const int32_t skip = state->settings->skip_columns;
  const int32_t columns = state->column_count;
  const int32_t last_used = skip + columns;
  const int32_t tokens = state->reference_tokens;
  int32_t n = state->samples_read;
  int32_t staged_lines = 0;  // lines stored in state->staged, the last of them sample n - 1
  const int32_t lines_per_write = columns > gather_above() ? STAGED_LINES : 1;
  double value = state->last_value;

  while (p < end && n < state->entries_per_column) {
    const char* const line = p;
    if (*p == '#' || *p == CONTROL_Z) break;
    if (n == state->next_fill_at && state->fill_window != 0) {
      prepare_store_rows(state->store, columns, state->entries_per_column, n, state->fill_window);
      state->next_fill_at += state->fill_window;
    }
    double* const staged = state->staged + staged_lines * columns;
    int32_t position = 0;
    int32_t stored = 0;
    bool plain = true;
    for (;;) {
      while (p < end && is_separator(*p)) p++;
      if (p == end) {
        plain = false;
        break;
      }
      if (*p == '\n') break;
      if (*p == '\r') {
        plain = p + 1 < end && p[1] == '\n';
        if (plain) p++;
        break;
      }
      if (EVERY_FIELD_USED && position == last_used) {  // a field too many
        plain = false;
        break;
      }
      if (EVERY_FIELD_USED || (position >= skip && position < last_used)) {
        const char* stop = convert_plain_decimal(p, end, &value);
        if (stop == nullptr || stop == end || !ends_plain_field(*stop)) {
          plain = false;
          break;
        }
        staged[stored++] = value;
        p = stop;
      } else {
        while (p < end && *p != '\0' && !ends_plain_field(*p)) p++;
        if (p == end || *p == '\0') {
          plain = false;
          break;
        }
      }
      position++;
    }
    // p is at the line's LF when the line is plain.
    if (!plain || stored != columns || position != tokens ||
        static_cast<size_t>(p - line) + 1 >= MAX_CHUNK) {
      p = line;
      break;
    }
    p++;
    n++;
    if (++staged_lines == lines_per_write) {
      store_staged_lines(state, n - staged_lines, staged_lines);
      staged_lines = 0;
    }
    state->last_value = value;
    state->last_conversion = CONVERSION_DONE;
    state->line_tokens = position;
    state->values_in_line = columns;
  }
  store_staged_lines(state, n - staged_lines, staged_lines);
  state->samples_read = n;
  consume_to(reader, p);
}

// Reports what was read. Returns true when there are samples to analyse.
bool finish(reader_state* state) {
  if (state->samples_read == 0) {
    report_format(state->hooks, REPORT_EARLY_END,
                  "\nNo samples read (discarded %d samples). Terminating.\n\n", state->discarded);
    return false;
  }
  report_format(state->hooks, REPORT_PROGRESS, "\nRead %d samples (discarded first %d samples).\n",
                state->samples_read, state->discarded);
  return true;
}

// The read loop: one pass over the input, line by line. Returns true when
// there are samples to analyse, false when the run ends early.
bool read_lines(reader_state* state) {
  line_reader* reader = &state->reader;
  for (;;) {
    if (state->column_count >= 0 && state->reference_tokens != 0 &&
        state->discarded == state->settings->discard_count && in_place_lines_allowed()) {
      if (state->settings->skip_columns == 0 && state->reference_tokens == state->column_count) {
        read_plain_lines<true>(state);
      } else {
        read_plain_lines<false>(state);
      }
    }
    int first = peek_byte(reader);
    if (first < 0) break;
    if (first == '#') {
      skip_byte(reader);
      read_comment(reader, state);
      continue;
    }
    if (first == CONTROL_Z) {  // dropped at the start of a line
      skip_byte(reader);
      continue;
    }
    read_sample_line(reader, state);
    if (state->discarded != state->settings->discard_count) {
      state->discarded++;
      continue;
    }
    bool count_known_before = state->column_count >= 0;
    if (!count_known_before && !detect_column_count(state)) return false;
    accept_sample(state, count_known_before);
  }
  close_input(state->input);
  return finish(state);
}

}  // namespace

reader_state* reader_create(const run_settings* settings, input_source* input,
                            const run_hooks* hooks) {
  reader_state* state = static_cast<reader_state*>(xmalloc(sizeof(reader_state)));
  state->settings = settings;
  state->input = input;
  state->hooks = hooks;
  state->reading = false;
  state->samples_read = 0;
  state->discarded = 0;
  state->column_count = -1;
  state->store = nullptr;
  state->entries_per_column = 0;
  state->fill_window = 0;
  state->next_fill_at = 0;
  for (double& sum : state->column_sum) sum = 0;
  state->reader.buffer = nullptr;
  return state;
}

void reader_destroy(reader_state* state) {
  if (state == nullptr) return;
  line_reader_close(&state->reader);
  free_double_matrix(state->store);
  free(state);
}

bool read_samples(reader_state* state) {
  const run_settings* settings = state->settings;
  if (settings->column_count_argument != nullptr) {
    take_column_count_argument(state, settings->column_count_argument);
  }
  report_format(state->hooks, REPORT_PROGRESS, "%s", "Reading file...\n");
  state->reading = true;
  state->samples_read = 0;
  state->comment_lines = 0;
  state->discarded = 0;
  state->line_tokens = 0;
  state->reference_tokens = 0;
  state->last_conversion = 0;
  state->last_value = 0.0;
  state->values_in_line = 0;

  line_reader_open(&state->reader, state->input);
  return read_lines(state);
}
