// The data file reader: settles the column count and reads every line of an
// open input into the sample store. Behind the library's contract: the
// library opens the input and calls it; tests and fuzz targets call it on
// inputs of their own.
#ifndef VARBLOC_READER_H
#define VARBLOC_READER_H

#include <cstdint>
#include <string>

#include "input_source.h"
#include "read_types.h"  // read_options, sample_set, read_progress
#include "support/report.h"

// A store of more than GATHER_COLUMNS columns has the in-place line path
// gather the values of STAGED_LINES lines before storing them. A narrower
// store takes each line's values at once: the cache lines its rows are being
// written in, one per column, stay in a 32 KiB first-level data cache from
// one line to the next, and the copy through the gathering buffer would cost
// more than it saves (bench/README.md).
constexpr int STAGED_LINES = 8;
constexpr int32_t GATHER_COLUMNS = 512;

// Which ways of reading lines a run may take. Every combination stores the
// same samples and reports the same events; tests and fuzz targets compare
// them, the library takes the defaults.
struct reader_paths {
  bool in_place_lines = true;               // false: every line by the general rules
  int32_t gather_columns = GATHER_COLUMNS;  // the in-place path gathers above this width
};

// A streamed read's store is a window of about STREAM_WINDOW_BYTES, at least
// STREAM_WINDOW_MIN and at most STREAM_WINDOW_MAX samples per column.
constexpr int64_t STREAM_WINDOW_BYTES = int64_t{4} << 20;
constexpr int32_t STREAM_WINDOW_MIN = 1024;
constexpr int32_t STREAM_WINDOW_MAX = 65536;

// Where a streamed read's samples go instead of staying in the store. The
// store is then a window: whenever it is full, and at the end of the input,
// its samples are handed over and it starts again from its first entry.
// Messages, errors and line numbers are those of a read that stores every
// sample; the budget does not apply.
struct sample_sink {
  // Takes the `count` samples (possibly none) the window holds of each of
  // column_count columns, rows[c][0] to rows[c][count - 1], the next ones of
  // their chains. May throw to end the run.
  void (*take)(void* context, const double* const* rows, int32_t column_count, int32_t count);
  void* context;
};

// Settles the column count and reads the open `input` to its end, which
// closes it. Returns the samples; a run that ends early without an analysis
// (its message reported) returns a set with ended_early and no samples, its
// input possibly still open. Fatal conditions throw varbloc_error, after
// releasing what the reader allocated; `progress`, when given, tells how far
// the read got however it ends. Messages go to `hooks` (may be null).
sample_set read_samples(const read_options& options, input_source* input, const run_hooks* hooks,
                        read_progress* progress = nullptr,
                        const reader_paths& paths = reader_paths{},
                        const sample_sink* sink = nullptr);

#endif
