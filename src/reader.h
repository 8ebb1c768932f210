// The data file reader: settles the column count and reads every line of the
// input into the sample store.
#ifndef VARBLOC_READER_H
#define VARBLOC_READER_H

#include <cstdint>

#include "analysis/general_error_routines_v3.h"  // MAX_COLUMNS
#include "command_line.h"
#include "input_source.h"
#include "line_reader.h"
#include "support/alloc2d.h"
#include "support/report.h"

// Longest comment text echoed; longer comments are cut to this and a newline.
constexpr size_t COMMENT_ECHO_LENGTH = 79;

// Lines whose values the in-place line path gathers before storing them, in
// a store of more than GATHER_COLUMNS columns. A narrower store takes each
// line's values at once: the cache lines its rows are being written in, one
// per column, stay in a 32 KiB first-level data cache from one line to the
// next, and the copy through the gathering buffer would cost more than it
// saves (bench/README.md).
constexpr int STAGED_LINES = 8;
constexpr int32_t GATHER_COLUMNS = 512;

// Everything the reader keeps for a run. The caller owns it, so that it can be
// released however the run ends.
struct reader_state {
  const run_settings* settings;
  input_source* input;
  const run_hooks* hooks;  // where messages go; may be null
  line_reader reader;
  bool reading;          // past the column-count argument, reading lines
  int32_t column_count;  // used columns; -1 while to be detected
  int32_t samples_read;
  int32_t comment_lines;
  int32_t discarded;
  int32_t line_tokens;       // fields on the most recently split line
  int32_t reference_tokens;  // fields on the first stored line
  int last_conversion;       // outcome of the most recent conversion in the run
  double last_value;         // value most recently converted (0 before any)
  int32_t values_in_line;
  column_matrix store;
  int32_t entries_per_column;
  int32_t fill_window;      // samples per column made resident at once (0: off)
  int32_t next_fill_at;     // sample number at which the next window starts
  double row[MAX_COLUMNS];  // values kept from the current line
  // Values of the in-place line path's last lines, column_count per line and
  // line after line, before they go to the store a whole cache line per
  // column at once. Packed, so that a narrow file's lines share cache lines.
  double staged[STAGED_LINES * MAX_COLUMNS];
  double column_sum[MAX_COLUMNS];  // sums of the stored samples, in sample order
};

#ifdef VARBLOC_FUZZING
// Fuzzing builds only: false sends every line through the general rules,
// none through the in-place line path (the reader fuzz target runs each input
// both ways and requires the same outcome).
extern bool in_place_lines_enabled;
// Fuzzing builds only: the in-place line path gathers lines for stores of
// more than this many columns (GATHER_COLUMNS unless a fuzz target sets it).
extern int32_t gather_columns;
#endif

// A reader for one run over an open input; nothing is read yet. Messages go
// to `hooks` (may be null) as they arise.
reader_state* reader_create(const run_settings* settings, input_source* input,
                            const run_hooks* hooks);

// Settles the column count and reads the input to its end, which closes it.
// Returns true when samples were stored (samples_read of column_count
// columns, with their sums), false when the run ends early without an
// analysis (its message reported; the input may still be open). Fatal
// conditions throw varbloc_error.
bool read_samples(reader_state* state);

// Releases everything the reader allocated, the sample store included; null
// is ignored.
void reader_destroy(reader_state* state);

#endif
