// What a front end of varbloc uses: read a data file into a sample set,
// analyse samples, render and record the result, and the errors a run ends
// with. The program's main and the Python module are the two front ends.
#ifndef VARBLOC_LIBRARY_H
#define VARBLOC_LIBRARY_H

#include <cstdint>
#include <memory>
#include <string>

#include "analysis/general_error_routines_v3.h"  // blocking_result, MAX_COLUMNS
#include "command_line.h"                        // run_settings
#include "support/error.h"                       // varbloc_error
#include "support/report.h"                      // run_hooks, run_interrupted

struct reader_state;
struct reader_release {
  void operator()(reader_state* state) const;
};

// The samples of one data file as the reader stored them: sample i of
// column c is columns[c][i].
struct sample_set {
  int32_t column_count = 0;  // 0 when the run ended before any was settled
  int32_t samples = 0;
  int32_t discarded = 0;
  bool ended_early = false;  // no analysis follows (status 0); its message was reported
  const double* const* columns = nullptr;
  const double* column_sums = nullptr;  // in sample order, as the analysis forms them
  std::unique_ptr<reader_state, reader_release> reader;  // owns the store
};

// How far a read got, known however it ended.
struct read_progress {
  bool reading = false;  // past the column-count argument: "Reading file..." was reported
  int32_t samples = 0;   // samples stored
  int32_t discarded = 0;
};

// Opens settings.input_name, reads it whole and closes it. Events go to
// `hooks` (may be null) as they happen; a decompressor's own messages go
// straight to standard error. Throws varbloc_error on a fatal condition and
// run_interrupted when the hooks ask to stop; either way everything is
// released and no decompressor is left running. settings.output_path is not
// used. `progress`, when given, tells how far the read got, also when it
// throws.
sample_set read_data_file(const run_settings& settings, const run_hooks* hooks,
                          read_progress* progress = nullptr);

// Moves the columns of a set with samples together in place, column after
// column, and hands over their block: samples * column_count doubles, sample
// i of column c at [c * samples + i], to be released with free(). The store's
// unused rest goes back to the system as the columns move, so memory never
// holds much more than the samples. The set is left empty. Null for a set
// without samples.
double* take_samples(sample_set* set);

// The blocking analysis of a set with samples.
blocking_result analyse_samples(const sample_set& set, const run_hooks* hooks);

#endif
