#include "plain_lines.h"

#include <cstdint>

#include "field_conversion.h"
#include "line_reader.h"
#include "read_limits.h"  // CONTROL_Z
#include "reader_state.h"
#include "storage.h"

namespace {

// Moves the `count` staged lines, samples first to first + count - 1, to the
// store and adds them to the column sums, in sample order. Each column gets
// its values side by side: a wide store is written a cache line per column at
// a time instead of one value into every column's page per line.
inline void store_staged_lines(reader_state* state, int32_t first, int count) {
  const column_matrix rows = state->store.rows;
  if (count == 1) {  // a narrow store's line: without the loop over lines
    for (int32_t c = 0; c < state->column_count; c++) {
      const double value = state->staged[c];
      rows[c][first] = value;
      state->column_sum[c] = state->column_sum[c] + value;
    }
    return;
  }
  for (int32_t c = 0; c < state->column_count; c++) {
    double* const samples = rows[c] + first;
    double sum = state->column_sum[c];
    for (int line = 0; line < count; line++) {
      const double value = state->staged[line * state->column_count + c];
      samples[line] = value;
      sum = sum + value;
    }
    state->column_sum[c] = sum;
  }
}

// The loop over lines. Values go to the store a line at a time, or for a
// wide store STAGED_LINES lines at a time (see store_staged_lines); those of
// a line that is left are dropped. The number scan is inlined here
// (flatten): a call per field costs more than it saves; the loop itself is
// not inlined into its caller, whose registers it would share.
// EVERY_FIELD_USED: no leading columns are skipped and the lines have no
// fields beyond the used ones (the common case), so no field's position needs
// a test.
template <bool EVERY_FIELD_USED>
__attribute__((flatten, noinline)) void read_lines_in_place(reader_state* state) {
  line_reader* reader = &state->reader;
  const char* p = unread_begin(reader);
  const char* const end = unread_end(reader);
  const int32_t skip = state->options->skip_columns;
  const int32_t columns = state->column_count;
  const int32_t last_used = skip + columns;
  const int32_t tokens = state->reference_tokens;
  int32_t n = state->samples_read;
  int32_t staged_lines = 0;  // lines stored in state->staged, the last of them sample n - 1
  const int32_t lines_per_write = columns > state->paths.gather_columns ? STAGED_LINES : 1;
  double value = state->last_value;

  while (p < end && n < state->store.entries_per_column) {
    const char* const line = p;
    if (*p == '#' || *p == CONTROL_Z) break;
    store_fill_ahead(&state->store, n);
    double* const staged = state->staged + staged_lines * columns;
    int32_t position = 0;
    int32_t stored = 0;
    bool plain = true;
    for (;;) {
      while (p < end && is_field_separator(*p)) p++;
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

}  // namespace

void read_plain_lines(reader_state* state) {
  if (state->options->skip_columns == 0 && state->reference_tokens == state->column_count) {
    read_lines_in_place<true>(state);
  } else {
    read_lines_in_place<false>(state);
  }
}
