// The core's contract: what a front end of varbloc uses. Read a data file
// into a sample set, analyse samples, render and record the result, and the
// errors a run ends with. The program's main and the Python module are the
// two front ends; neither reaches past this header into the reader or the
// analysis. Every entry point reads and prints numbers as in the C locale,
// whatever locale the calling program has set.
#ifndef VARBLOC_LIBRARY_H
#define VARBLOC_LIBRARY_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analysis/analysis_file.h"              // analysis_file_outcome
#include "analysis/equilibration.h"              // equilibration_table
#include "analysis/general_error_routines_v3.h"  // blocking_result, MAX_COLUMNS
#include "analysis/level_report.h"               // column_label, LABEL_SIZE
#include "discarded_read.h"                      // held_event, events_as_discarded
#include "support/error.h"                       // error_code, varbloc_error, current_failure
#include "support/report.h"                      // run_hooks, run_interrupted, byte_source

// Default storage budget in bytes.
constexpr uint64_t DEFAULT_ALLOC_BUDGET = 2000000000u;

// What a read of one data file is asked to do. Front ends start from these
// defaults and change what their caller asks for.
struct read_options {
  const char* input_name = nullptr;              // a file, "STDIN", or a name ending in ".gz"
  uint64_t alloc_budget = DEFAULT_ALLOC_BUDGET;  // bytes for the sample store
  int32_t skip_columns = 0;                      // leading fields ignored on every line
  int32_t discard_count = 0;                     // leading sample lines dropped
  // Columns to use; none lets the first data line decide. A count below 1
  // ends the read with fatal error 2, one past MAX_COLUMNS (skipped columns
  // taken off) with fatal error 3.
  std::optional<int32_t> column_count;
  // An input the caller has open, read instead of opening input_name (which
  // then only names it in messages), as it is: never decompressed. Either a
  // descriptor, read from where it stands and left open, or a byte source.
  int input_descriptor = -1;
  const byte_source* input_bytes = nullptr;
};

struct sample_store;
struct store_release_deleter {
  void operator()(sample_store* store) const;
};

// The samples of one data file as the reader stored them: sample i of
// column c is columns[c][i].
struct sample_set {
  int32_t column_count = 0;  // 0 when the run ended before any was settled
  int32_t samples = 0;
  int32_t discarded = 0;
  bool ended_early = false;  // no analysis follows (status 0); its message was reported
  // A decompressor's end, once the input was read to its end: its exit
  // status, or minus the signal that ended it. None without a decompressor.
  std::optional<int> decompressor_status;
  const double* const* columns = nullptr;
  std::vector<double> column_sums;  // in sample order, as the analysis forms them
  std::unique_ptr<sample_store, store_release_deleter> store;  // owns the columns
};

// How far a read got, known however it ended.
struct read_progress {
  bool reading = false;  // past the column count: "Reading file..." was reported
  int32_t samples = 0;   // samples stored
  int32_t discarded = 0;
  std::optional<int> decompressor_status;  // as in sample_set
};

// Opens options.input_name (or takes the caller's input), reads it whole and
// closes it. Events go to
// `hooks` (may be null) as they happen; a decompressor's own messages go
// straight to standard error. Throws varbloc_error on a fatal condition and
// run_interrupted when the hooks ask to stop; either way everything is
// released and no decompressor is left running. `progress`, when given,
// tells how far the read got, also when it throws.
sample_set read_data_file(const read_options& options, const run_hooks* hooks,
                          read_progress* progress = nullptr);

// Moves the columns of a set with samples together in place, column after
// column, and hands over their block: samples * column_count doubles, sample
// i of column c at [c * samples + i], to be released with free(). The store's
// unused rest goes back to the system as the columns move, so memory never
// holds much more than the samples. The set is left empty. Null for a set
// without samples.
double* take_samples(sample_set* set);

// The blocking analysis of a set with samples; with `automatic`, also the
// pairwise levels and the automatic estimate of every column. With `start`
// (below the set's samples), of the samples from there on: the figures of a
// read that discarded `start` more lines.
blocking_result analyse_samples(const sample_set& set, const run_hooks* hooks,
                                bool automatic = false, int64_t start = 0);

// The blocking analysis of n >= 1 samples of each of column_count columns
// (columns[c], only read), with the pairwise levels and the automatic
// estimate when `automatic`. `hooks` (may be null) is polled for interruption.
blocking_result analyse_series(int64_t n, const double* const* columns, int32_t column_count,
                               const run_hooks* hooks, bool automatic = false);

// Where each of column_count columns of n >= 1 samples (columns[c], only
// read) is equilibrated: the start that maximises the effective samples of
// the rest, every candidate start tried and its effective samples. `hooks`
// (may be null) is polled for interruption.
equilibration_table find_equilibration(int64_t n, const double* const* columns,
                                       int32_t column_count, const run_hooks* hooks);

// The level tables and the summary, as the program prints them, with the
// labels "col  0", "col  1", ...
std::string render_report(const blocking_result& result);

// The table of the automatic estimates, "Automatic error estimate", as the
// program prints it with --auto; empty for a result without them.
std::string render_automatic(const blocking_result& result);

// Appends the result's analysis-file line (mean and final error per column)
// to the file at `path`, whole or not at all; a file that cannot be written
// is skipped with the text to print in *message, a failed write is fatal
// error 120.
analysis_file_outcome append_analysis_file(const blocking_result& result, const char* path,
                                           std::string* message);

#endif
