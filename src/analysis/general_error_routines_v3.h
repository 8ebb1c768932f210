// The statistics of the blocking error analysis: the standard error of the
// mean and lag-1 correlation of every column, on the samples and on block
// averages of growing size, and each column's decision, the first level whose
// correlation falls below DECORR_THRESHOLD. What is printed or written of the
// result is the business of level_report and analysis_file.
#ifndef VARBLOC_ANALYSIS_GENERAL_ERROR_ROUTINES_V3_H
#define VARBLOC_ANALYSIS_GENERAL_ERROR_ROUTINES_V3_H

#include <cstdint>
#include <vector>

#include "analysis/automatic_estimate.h"
#include "support/report.h"

// Block sizes of the blocking levels, ending in the sentinel 1.
constexpr int BLOCK_SIZE_ENTRIES = 10;
inline constexpr int32_t BLOCK_SIZES[BLOCK_SIZE_ENTRIES] = {5,    10,   50,    100,   500,
                                                            1000, 5000, 10000, 50000, 1};
// A level of block size s runs when it leaves more than this many blocks.
constexpr int64_t MIN_BLOCKS_PER_LEVEL = 10;
// A column is decorrelated at the first level whose lag-1 correlation is
// strictly below this.
constexpr double DECORR_THRESHOLD = 0.1;

// For every column c of the n-value series rows[c], with the given means:
// error[c] = sqrt(|S|) / sqrt(n (n - 1)) and correlation[c] = (P n) / (S (n - 1)),
// or 1.0 when S is 0, where S = sum of d_i^2 and P = sum of d_(i-1) d_i, with
// d_i = rows[c][i] - mean[c], summed in sample order.
void calc_additional_errors(int64_t n, const double* const* rows, int32_t column_count,
                            const double* mean, double* error, double* correlation);

// Writes the averages of the n / block_size whole blocks of every source row
// into the destination row (samples after the last whole block are left out)
// and returns the block count.
int32_t pair_additional_data(int64_t n, int32_t block_size, const double* const* source,
                             double* const* destination, int32_t column_count);

// Where a column's decision fell.
struct column_decision {
  bool decorrelated;  // the correlation fell below DECORR_THRESHOLD at `level`
  int level;          // the deciding level: the first below the threshold, else the last
  int64_t count;      // values (samples or blocks) per column at that level
};

// The pairwise levels of every column (see pairwise_levels.h): level k holds
// count[k] averages of blocks of block_size[k] = 2^k samples; entry
// [k * column_count + c] is column c at level k. Level 0 is the samples, with
// the figures of the fixed ladder's level 0.
struct pairwise_table {
  int level_count = 0;
  std::vector<int64_t> block_size;
  std::vector<int64_t> count;
  std::vector<double> error;
  std::vector<double> correlation;
  std::vector<double> error_error;    // error / sqrt(2 (count - 1))
  std::vector<pairwise_shape> shape;  // level 0's NaN: the estimate reads levels 1 and up
};

// Everything the blocking analysis finds. Level 0 is the samples themselves;
// level j > 0 the averages of blocks of block_size[j] samples. Per-level
// tables hold level_count rows of column_count values: entry
// [j * column_count + c] is column c at level j.
struct blocking_result {
  int64_t samples = 0;  // n, the samples per column
  int32_t column_count = 0;
  int level_count = 0;
  int32_t block_size[BLOCK_SIZE_ENTRIES] = {};    // 1 for level 0
  int64_t level_values[BLOCK_SIZE_ENTRIES] = {};  // samples or blocks per column
  std::vector<double> mean;                       // per column: of all n samples
  std::vector<double> level_error;                // per level and column
  std::vector<double> level_correlation;          // per level and column
  // Per column: the values of the deciding level, the first where the
  // correlation fell below DECORR_THRESHOLD, else the last level.
  std::vector<double> final_error;
  std::vector<double> final_correlation;
  std::vector<column_decision> decision;
  // Only when the automatic estimate was asked for; empty otherwise.
  pairwise_table pairwise;
  std::vector<automatic_estimate> automatic;  // per column
};

// The pieces of the driver that a result formed some other way (from a
// streaming state, blocking_state.h) goes through too, so that both state
// their figures and decisions the same way.
//
// error = sqrt(|S|) / sqrt(n (n - 1)) and correlation = (P n) / (S (n - 1)),
// or 1.0 when S is 0, from S = sum of d_i^2 and P = sum of d_(i-1) d_i.
void lag1_figures(double squares, double products, int64_t n, double* error, double* correlation);
// A result for n samples of column_count columns with its tables sized: the
// levels that run, and with `automatic` the pairwise table's levels.
blocking_result plan_result(int64_t n, int32_t column_count, bool automatic);
// Each column's decision and final figures, from the level tables.
void decide_columns(blocking_result* result);
// The pairwise table's block sizes, counts, level 0 (from the fixed level 0)
// and error uncertainties, then every column's automatic estimate; levels 1
// and up of the table's errors, correlations and shapes are filled already.
void estimate_columns(blocking_result* result, const column_kind* kinds);

// The blocking analysis of n >= 1 samples of column_count columns (rows
// samples[c], only read). column_sums, when given, holds each column's sum of
// its samples, added in sample order starting from 0, exactly as the analysis
// would form it; a caller that stores the samples one by one can form it on
// the way and save the analysis a pass over the samples. Null: the analysis
// sums itself. `hooks` (may be null) is polled for interruption. With
// `automatic`, the same pass forms the pairwise levels too, and the result
// holds them and every column's automatic estimate.
blocking_result collect_additional_data(int64_t n, const double* const* samples,
                                        int32_t column_count, const double* column_sums = nullptr,
                                        const run_hooks* hooks = nullptr, bool automatic = false);

#endif
