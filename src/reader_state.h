// What the reader keeps for a run, shared by the reader's units only
// (reader.cpp, the general rules; plain_lines.cpp, the in-place line path).
// Nothing outside the reader includes this header.
#ifndef VARBLOC_READER_STATE_H
#define VARBLOC_READER_STATE_H

#include <cstdint>

#include "field_conversion.h"  // conversion_result
#include "input_source.h"
#include "line_reader.h"
#include "read_limits.h"  // MAX_COLUMNS
#include "read_types.h"   // read_options
#include "reader.h"       // reader_paths, STAGED_LINES
#include "storage.h"
#include "support/report.h"

struct reader_state {
  const read_options* options;
  reader_paths paths;
  input_source* input;
  const run_hooks* hooks;  // where messages go; may be null
  line_reader reader;
  bool reading;             // past the column count, reading lines
  int32_t column_count;     // used columns; -1 while to be detected
  const sample_sink* sink;  // null: every sample stays in the store
  int64_t samples_handed;   // samples the sink took; the store holds the ones after them
  int32_t samples_read;     // samples in the store
  int64_t comment_lines;
  int32_t discarded;
  int32_t line_tokens;                // fields on the most recently split line
  int32_t reference_tokens;           // fields on the first stored line
  conversion_result last_conversion;  // outcome of the most recent conversion in the run
  double last_value;                  // value most recently converted (0 before any)
  int32_t values_in_line;
  sample_store store;
  double row[MAX_COLUMNS];  // values kept from the current line
  // Values of the in-place line path's last lines, column_count per line and
  // line after line, before they go to the store a whole cache line per
  // column at once. Packed, so that a narrow file's lines share cache lines.
  double staged[STAGED_LINES * MAX_COLUMNS];
  double column_sum[MAX_COLUMNS];  // sums of the stored samples, in sample order
};

#endif
