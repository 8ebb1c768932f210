#include "reader.h"

#include <cstdint>
#include <cstdlib>  // free
#include <cstring>  // memchr, memcpy
#include <utility>  // move

#include "field_conversion.h"
#include "plain_lines.h"
#include "read_limits.h"  // MAX_COLUMNS, CONTROL_Z, COMMENT_ECHO_LENGTH
#include "reader_state.h"
#include "storage.h"
#include "support/alloc.h"
#include "support/error.h"
#include "support/report.h"

namespace {

// Samples kept so far: those handed to a sink and those in the store.
int64_t samples_kept(const reader_state* state) {
  return state->samples_handed + state->samples_read;
}

// Physical line number of the sample line being read, comment lines counted.
int64_t line_number(const reader_state* state) {
  return samples_kept(state) + state->comment_lines + state->discarded + 1;
}

// Settles the column count and opens the store for it: the whole budget's,
// or a streamed read's window, which is opened without a word.
void settle_column_count(reader_state* state, int32_t count) {
  state->column_count = count;
  if (state->sink == nullptr) {
    store_open(&state->store, count, state->options->alloc_budget, state->hooks);
  } else {
    int64_t entries = STREAM_WINDOW_BYTES / (int64_t{8} * count);
    if (entries < STREAM_WINDOW_MIN) entries = STREAM_WINDOW_MIN;
    if (entries > STREAM_WINDOW_MAX) entries = STREAM_WINDOW_MAX;
    store_open(&state->store, count, static_cast<uint64_t>(entries * 8 * count), nullptr);
    state->store.fill_window = 0;  // the window's pages stay resident once written
  }
}

// Hands the store's samples to the sink and empties the store.
void hand_to_sink(reader_state* state) {
  if (state->sink == nullptr || state->store.rows == nullptr || state->column_count <= 0) return;
  state->sink->take(state->sink->context, state->store.rows, state->column_count,
                    state->samples_read);
  state->samples_handed += state->samples_read;
  state->samples_read = 0;
}

// A followed input is about to be read again: what the store holds goes to
// the sink now, so that a running answer counts every line read so far.
void hand_before_read(void* context) {
  hand_to_sink(static_cast<reader_state*>(context));
}

// Validates the column count the caller gave and opens the store.
void take_given_column_count(reader_state* state, int32_t count) {
  const int32_t skip = state->options->skip_columns;
  if (count <= 0) {
    fatal(ERROR_COLUMN_COUNT_NOT_POSITIVE, "Please specify a positive number of columns");
  }
  if (static_cast<int64_t>(count) - skip > MAX_COLUMNS) {
    fatal_format(ERROR_TOO_MANY_COLUMNS, "Cannot handle more than %d columns", MAX_COLUMNS);
  }
  if (skip != 0) {
    report_format(state->hooks, REPORT_PROGRESS, "Will read %d columns (ignoring first %d).\n",
                  count, skip);
  } else {
    report_format(state->hooks, REPORT_PROGRESS, "Will read %d columns.\n", count);
  }
  settle_column_count(state, count);
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
    report_comment(state->hooks, echo, prefix + echoed, samples_kept(state) + state->discarded);
  }
  bool line_goes_on = length == MAX_CHUNK && chunk[length - 1] != '\n';
  while (line_goes_on && next_chunk(reader, &chunk, &length)) {
    line_goes_on = length == MAX_CHUNK && chunk[length - 1] != '\n';
  }
}

// The message of a decompressor that ended with `status` (an exit status,
// or minus a signal) after `samples` samples were stored.
std::string decompressor_failure(int status, int64_t samples) {
  const char* how = status > 0 ? "exit status" : "signal";
  return compose_message(
      "The decompressor gzip failed (%s %d): the input is cut or damaged; %lld samples were read "
      "before it",
      how, status > 0 ? status : -status, static_cast<long long>(samples));
}

// An error (gzip's 1) or a signal; gzip's 2 is a warning (trailing garbage
// ignored), its output whole.
bool decompressor_failed(const input_source* input) {
  const std::optional<int>& status = input->decompressor_status;
  return status.has_value() && *status != 0 && *status != 2;
}

// A data error on the last line of a decompressor's output is the
// decompressor's when it failed: a file cut short mostly ends inside a line.
// The decompressor's status is known only once its output has ended, so the
// input is looked at for a next byte first; the run then ends with the
// decompressor's failure instead. Returns for an input without a
// decompressor (a plain file may still be being written), for a line with
// input after it, and for a decompressor that ended well: the error is the
// data's. Any chunk handed out before is invalid after the call.
void blame_failed_decompressor(reader_state* state) {
  input_source* input = state->input;
  if (input->decompressor == 0 || peek_byte(&state->reader) >= 0) return;
  close_input(input);
  if (!decompressor_failed(input)) return;
  const std::string message =
      decompressor_failure(*input->decompressor_status, samples_kept(state));
  fatal(ERROR_DECOMPRESSOR_FAILED, message.c_str());
}

// Ends the run at a used field that is not a number, the field (from `field`
// to its end before `line_end`) kept with the error.
[[noreturn]] void not_a_number(reader_state* state, int32_t position, const char* field,
                               const char* line_end) {
  const size_t length = static_cast<size_t>(field_end(field, line_end) - field);
  const int64_t line = line_number(state);
  error_place place;
  place.line = line;
  place.column = position;
  place.text.emplace(field, length < PLACE_TEXT_LENGTH ? length : PLACE_TEXT_LENGTH);
  blame_failed_decompressor(state);
  fatal_at(ERROR_NOT_A_NUMBER, std::move(place),
           "Non-numerical data in line %lld column %d (columns count from 0)",
           static_cast<long long>(line), position);
}

// Keeps the outcome of a used field's conversion; a field that is not a number
// is fatal. A field of white space only has no value of its own: it repeats
// the value most recently converted.
void take_conversion(reader_state* state, conversion_result result, double value, int32_t position,
                     const char* field, const char* line_end) {
  state->last_conversion = result;
  if (result == CONVERSION_FAILED) not_a_number(state, position, field, line_end);
  if (result == CONVERSION_DONE) state->last_value = value;
  if (state->values_in_line < MAX_COLUMNS) state->row[state->values_in_line++] = state->last_value;
}

// Splits the text of a sample line into its fields and converts the used
// ones into the row.
void split_fields(reader_state* state, const char* text, const char* end) {
  const int32_t skip = state->options->skip_columns;
  const int64_t last_used =
      state->column_count < 0 ? INT64_MAX : static_cast<int64_t>(skip) + state->column_count;
  int32_t position = 0;
  const char* p = text;
  for (;;) {
    while (p < end && is_field_separator(*p)) p++;
    if (p == end) break;
    if (position >= skip && position < last_used) {
      double value = 0;
      const char* const field = p;
      const conversion_result result = convert_line_field(p, end, &value, &p);
      take_conversion(state, result, value, position, field, end);
    } else {
      p = field_end(p, end);
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
  if (length == MAX_CHUNK) fatal(ERROR_LINE_TOO_LONG, "Chunk size too small. Contact Tavrosk");
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
  const int32_t skip = state->options->skip_columns;
  if (state->last_conversion == CONVERSION_ONLY_WHITE_SPACE) {
    fatal(ERROR_NO_COLUMN_COUNT, "Could not determine number of columns in first data line");
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
  settle_column_count(state, state->values_in_line);
  return true;
}

// Stores the current line as one sample of every used column.
void accept_sample(reader_state* state, bool count_known_before) {
  if (count_known_before && state->values_in_line < state->column_count) {
    blame_failed_decompressor(state);
    const int64_t line = line_number(state);
    error_place place;
    place.line = line;
    fatal_at(ERROR_TOO_FEW_FIELDS, std::move(place),
             "Expected %d columns, found only %d in line %lld", state->column_count,
             state->values_in_line, static_cast<long long>(line));
  }
  if (state->reference_tokens == 0) {
    state->reference_tokens = state->line_tokens;
  } else if (state->line_tokens != state->reference_tokens) {
    const std::string message =
        compose_message("Inconsistent number of columns in line %lld (non-fatal)",
                        static_cast<long long>(line_number(state)));
    report_warning(state->hooks, WARNING_INCONSISTENT_COLUMNS, message.c_str());
  }
  if (state->samples_read == state->store.entries_per_column) hand_to_sink(state);
  if (state->samples_read == state->store.entries_per_column) {
    fatal_format(ERROR_TOO_MANY_LINES, "Cannot handle more than %d lines",
                 state->store.entries_per_column);
  }
  store_fill_ahead(&state->store, state->samples_read);
  for (int32_t c = 0; c < state->column_count; c++) {
    state->store.rows[c][state->samples_read] = state->row[c];
    state->column_sum[c] = state->column_sum[c] + state->row[c];
  }
  state->samples_read++;
}

// Reports what was read. Returns true when there are samples to analyse.
bool finish(reader_state* state) {
  hand_to_sink(state);
  if (samples_kept(state) == 0) {
    report_format(state->hooks, REPORT_EARLY_END,
                  "\nNo samples read (discarded %d samples). Terminating.\n\n", state->discarded);
    return false;
  }
  const std::string text = read_count_text(samples_kept(state), state->discarded);
  report_text(state->hooks, REPORT_READ_COUNT, text.data(), text.size());
  return true;
}

// The read loop: one pass over the input, line by line. Returns true when
// there are samples to analyse, false when the run ends early.
bool read_lines(reader_state* state) {
  line_reader* reader = &state->reader;
  for (;;) {
    if (state->column_count >= 0 && state->reference_tokens != 0 &&
        state->discarded == state->options->discard_count && state->paths.in_place_lines) {
      if (state->samples_read == state->store.entries_per_column) hand_to_sink(state);
      read_plain_lines(state);
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
    if (state->discarded != state->options->discard_count) {
      state->discarded++;
      continue;
    }
    bool count_known_before = state->column_count >= 0;
    if (!count_known_before && !detect_column_count(state)) return false;
    accept_sample(state, count_known_before);
  }
  close_input(state->input);
  if (decompressor_failed(state->input)) {
    const std::string message =
        decompressor_failure(*state->input->decompressor_status, samples_kept(state));
    report_warning(state->hooks, ERROR_DECOMPRESSOR_FAILED, message.c_str());
  }
  return finish(state);
}

// A reader for one run over an open input; nothing is read yet.
void start_reader(reader_state* state, const read_options* options, const reader_paths& paths,
                  input_source* input, const run_hooks* hooks, const sample_sink* sink) {
  state->options = options;
  state->paths = paths;
  state->input = input;
  state->hooks = hooks;
  state->reading = false;
  state->column_count = -1;
  state->sink = sink;
  state->samples_handed = 0;
  state->samples_read = 0;
  state->comment_lines = 0;
  state->discarded = 0;
  state->line_tokens = 0;
  state->reference_tokens = 0;
  state->last_conversion = CONVERSION_FAILED;
  state->last_value = 0.0;
  state->values_in_line = 0;
  state->store = EMPTY_STORE;
  for (double& sum : state->column_sum) sum = 0;
  state->reader.buffer = nullptr;
}

// An input read to its end is closed as at the end of a whole read, also when
// its last line ends the run, so that how a decompressor ended is known.
void close_if_read_to_end(reader_state* state) {
  if (state->reader.buffer != nullptr && state->reader.exhausted && state->input->fd >= 0) {
    close_input(state->input);
  }
}

// Releases what the reader holds, however the run ends.
struct reader_release {
  reader_state* state;
  read_progress* progress;
  ~reader_release() {
    if (state->input->follow != nullptr) state->input->follow->before_read = nullptr;
    close_if_read_to_end(state);
    if (progress != nullptr) {
      progress->reading = state->reading;
      progress->samples = samples_kept(state);
      progress->discarded = state->discarded;
      progress->decompressor_status = state->input->decompressor_status;
    }
    line_reader_close(&state->reader);
    store_release(&state->store);
    free(state);
  }
};

// Hands the stored samples over to a set, which then owns the store.
void hand_over(reader_state* state, sample_set* set) {
  set->samples = state->samples_read;
  set->discarded = state->discarded;
  set->column_count = state->column_count > 0 ? state->column_count : 0;
  set->decompressor_status = state->input->decompressor_status;
  if (state->store.rows == nullptr) return;
  // A given count may pass MAX_COLUMNS by the skipped columns; such a store
  // never takes a sample (a line cannot hold that many used values), but it
  // has more rows than there are sums.
  const int32_t sums =
      state->store.column_count < MAX_COLUMNS ? state->store.column_count : MAX_COLUMNS;
  set->column_sums.assign(state->column_sum, state->column_sum + sums);
  set->store.reset(static_cast<sample_store*>(xmalloc(sizeof(sample_store))));
  *set->store = state->store;
  state->store = EMPTY_STORE;
  set->columns = set->store->rows;
}

}  // namespace

std::string read_count_text(int64_t samples, int32_t discarded) {
  return compose_message("\nRead %lld samples (discarded first %d samples).\n",
                         static_cast<long long>(samples), discarded);
}

sample_set read_samples(const read_options& options, input_source* input, const run_hooks* hooks,
                        read_progress* progress, const reader_paths& paths,
                        const sample_sink* sink) {
  reader_state* state = static_cast<reader_state*>(xmalloc(sizeof(reader_state)));
  start_reader(state, &options, paths, input, hooks, sink);
  reader_release release{state, progress};
  if (options.column_count.has_value()) take_given_column_count(state, *options.column_count);
  report_format(hooks, REPORT_READING, "%s", "Reading file...\n");
  state->reading = true;
  line_reader_open(&state->reader, input);
  if (input->follow != nullptr) {
    input->follow->before_read = hand_before_read;
    input->follow->before_read_context = state;
  }
  sample_set set;
  set.ended_early = !read_lines(state);
  close_if_read_to_end(state);
  hand_over(state, &set);
  if (set.ended_early) set.samples = 0;
  return set;
}
