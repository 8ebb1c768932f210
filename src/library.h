// The core's contract: what a front end of varbloc uses. Read a data file
// into a sample set, analyse samples, render and record the result, and the
// errors a run ends with. The program's main and the Python module are the
// two front ends; neither reaches past this header into the reader or the
// analysis. Every entry point reads and prints numbers as in the C locale,
// whatever locale the calling program has set.
//
// The types, and the few functions of the support and analysis units a front
// end calls, come from the headers below, which the reader, the analysis and
// the support own; none of them includes this header. What a front end takes
// from them:
// - read_types.h: read_options, sample_set, read_progress, DEFAULT_ALLOC_BUDGET,
//   read_count_text; read_limits.h: MAX_COLUMNS.
// - support/error.h: error_code, varbloc_error, run_failure, current_failure,
//   error_number, fatal_exit_status, fatal_frame.
// - support/report.h: report_kind, report_event, run_hooks, byte_source,
//   run_interrupted, warning_tally, tally_warning, check_interrupted.
// - analysis/general_error_routines_v3.h: blocking_result, column_decision,
//   pairwise_table; analysis/automatic_estimate.h: automatic_estimate,
//   estimate_reason_text.
// - analysis/equilibration.h: equilibration_table, equilibration_column,
//   latest_start_column.
// - analysis/level_report.h: column_label, LABEL_SIZE.
// - analysis/analysis_file.h: analysis_file_outcome.
// - analysis/result_json.h: result_json, column_labels, level_error_errors.
// - support/append.h: append_record, for a front end's own records.
// - analysis/blocking_state.h: column_state, state_start, state_add,
//   state_merge, state_result: the analysis of a chain without its samples.
// No front end includes anything of src/ but this header (the test
// front_ends_include_only_the_contract checks it).
#ifndef VARBLOC_LIBRARY_H
#define VARBLOC_LIBRARY_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/analysis_file.h"              // analysis_file_outcome
#include "analysis/automatic_estimate.h"         // automatic_estimate, estimate_reason_text
#include "analysis/blocking_state.h"             // column_state, state_add, state_result
#include "analysis/equilibration.h"              // equilibration_table, latest_start_column
#include "analysis/general_error_routines_v3.h"  // blocking_result
#include "analysis/level_report.h"               // column_label, LABEL_SIZE
#include "analysis/result_json.h"                // result_json, column_labels
#include "read_limits.h"                         // MAX_COLUMNS
#include "read_types.h"                          // read_options, sample_set, read_count_text
#include "support/append.h"                      // append_record
#include "support/error.h"                       // error_code, varbloc_error, current_failure
#include "support/report.h"                      // run_hooks, tally_warning, check_interrupted

// The version of varbloc, as CMake's project(VERSION) gives it ("1.1"): what
// the program's --version and --json record and the module's __version__ say.
const char* varbloc_version();

// A read option outside the range the reader takes.
enum option_fault {
  OPTIONS_IN_RANGE,
  SKIP_COLUMNS_NEGATIVE,  // skip_columns below 0
  DISCARD_NEGATIVE,       // discard_count below 0
  BUDGET_ZERO,            // alloc_budget of no bytes
};

// The first of the options outside its range, or OPTIONS_IN_RANGE. A front
// end asks before a read to say it in its own words; read_data_file and
// run_analysis refuse such options with error 4 before opening anything.
option_fault check_read_options(const read_options& options);

// Opens options.input_name (or takes the caller's input), reads it whole and
// closes it. Events go to `hooks` (may be null) as they happen; a
// decompressor's own messages go straight to standard error. Throws
// varbloc_error on a fatal condition and run_interrupted when the hooks ask
// to stop (polled at the end of the read too); either way everything is
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

// How many leading samples a whole run leaves out of its analysis.
enum discard_mode {
  DISCARD_COUNT,         // the read_options::discard_count lines the read drops
  DISCARD_EQUILIBRATED,  // those, and then every column's samples before the
                         // latest of the columns' equilibration starts
};

// A whole run: the read, the equilibration search when asked for, the start
// and the analysis from there.
struct run_outcome {
  // The read's counts, as read_data_file gave them (samples and discarded
  // before `start`); its samples are released once analysed.
  sample_set read;
  std::optional<equilibration_table> equilibration;  // with DISCARD_EQUILIBRATED
  int64_t start = 0;                      // samples left out after the read: the latest start
  int32_t start_column = 0;               // the column whose start that is
  std::optional<blocking_result> result;  // none after an early end
};

// Reads the input as read_data_file does and, unless the run ended early,
// analyses it: with DISCARD_EQUILIBRATED, find_equilibration runs on the
// stored columns and the analysis (analyse_samples) starts at the latest of
// their starts, the figures of a read that discarded that many more lines.
// With `automatic`, the result has the pairwise levels and the automatic
// estimates. Events, errors and `progress` as for read_data_file; the search
// and the analysis report no events.
run_outcome run_analysis(const read_options& options, discard_mode discard, bool automatic,
                         const run_hooks* hooks, read_progress* progress = nullptr);

// As run_analysis, on n >= 1 samples of each of column_count columns already
// in memory (columns[c], only read): with DISCARD_EQUILIBRATED the search and
// the analysis from the latest start, with DISCARD_COUNT the analysis of
// every sample. The outcome's read is empty. `hooks` (may be null) is polled
// for interruption.
run_outcome analyse_columns(int64_t n, const double* const* columns, int32_t column_count,
                            discard_mode discard, bool automatic, const run_hooks* hooks);

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

// How a streamed read follows an input that is still being written: at its
// end it waits for more instead of ending, until `stop` asks it to end.
struct follow_hooks {
  // True ends the read as if the input had ended there; a line still being
  // written (no newline yet) is left unread. Polled before every read of the
  // input and while waiting for more.
  bool (*stop)(void* context);
  // Called with every column's state (one per column, of every sample read
  // so far) about every `interval_seconds` while the read goes on, also while
  // it waits; may be null.
  void (*running)(void* context, const column_state* states, int32_t column_count);
  void* context;
  double interval_seconds;
};

// What a streamed read read.
struct stream_outcome {
  int32_t column_count = 0;  // 0 when the run ended before any was settled
  int64_t samples = 0;       // samples fed to the states by this read
  int32_t discarded = 0;
  bool ended_early = false;  // no analysis follows (status 0); its message was reported
  bool stopped = false;      // a follow's stop ended it before its input did
  std::optional<int> decompressor_status;  // as in sample_set
};

// Reads the input as read_data_file does, with the same events and errors,
// but keeps no samples: every sample is added to its column's state in
// `states` as the read goes, in memory that does not grow with the input
// (a window of the sample store, then the states). An empty `states` gets
// one state per column, of a chain that starts at this input's first kept
// sample; a filled one goes on with the chains it holds (the input's next
// samples follow theirs), the input then needing as many columns. With
// `follow`, the end of a plain file is waited at, a pipe's is the end.
stream_outcome stream_data_file(const read_options& options, std::vector<column_state>* states,
                                const run_hooks* hooks, const follow_hooks* follow = nullptr,
                                read_progress* progress = nullptr);

// A streamed read with the equilibration search: the grid search of
// equilibration_grid.h on a first read (whose events and errors reach
// `hooks`, as read_data_file's would), then a second, silent read of the same
// input that feeds each column's state from the latest start on and works
// out every column's tau and effective samples from its own start. So the
// input must be one that can be read twice (a named file, not STDIN) and
// must not change in between (error 60 if its sample count does).
struct equilibrated_stream {
  stream_outcome read;                // the first read's counts
  equilibration_table equilibration;  // the grid search's, with tau and ess
  int64_t start = 0;                  // the latest start
  int32_t start_column = 0;           // the column whose start that is
  std::vector<column_state> states;   // every column from `start` on
};
equilibrated_stream stream_equilibrated(const read_options& options, const run_hooks* hooks,
                                        read_progress* progress = nullptr);

#endif
