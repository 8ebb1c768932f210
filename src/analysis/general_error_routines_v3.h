// The blocking error analysis: standard error of the mean and lag-1
// correlation of every column, on the samples and on block averages of growing
// size, until the correlation falls below DECORR_THRESHOLD.
#ifndef VARBLOC_ANALYSIS_GENERAL_ERROR_ROUTINES_V3_H
#define VARBLOC_ANALYSIS_GENERAL_ERROR_ROUTINES_V3_H

#include <cstdint>

// Most columns analysed in one run; every per-column table has this many entries.
constexpr int32_t MAX_COLUMNS = 2048;

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

// The whole analysis of n >= 1 samples of column_count columns (rows of the
// sample store, only read): prints the level tables and the summary on
// standard error and appends the means and final errors to output_path.
//
// column_sums, when given, holds each column's sum of its samples, added in
// sample order starting from 0, exactly as the analysis would form it; a
// caller that stores the samples one by one can form it on the way and save
// the analysis a pass over the store. Null: the analysis sums itself.
void collect_additional_data(int64_t n, const double* const* samples, int32_t column_count,
                             const char* const* labels, const char* output_path,
                             const double* column_sums = nullptr);

// Prints the table of one level: "values" samples or blocks per column. Rows of
// columns that became decorrelated at this level carry the mark " <".
void write_averages(int64_t values, int32_t column_count, const double* mean, const double* error,
                    const double* correlation, const int64_t* decorr_samples,
                    const char* const* labels);

// Prints the summary and appends one line of "%16.10f %16.10f" per column
// (mean, final error) to the analysis file. decorr_samples is positive for
// decorrelated columns, minus the last level's block count otherwise. A path
// that is too long, an unwritable directory or a file that will not open are
// reported and skipped; a failed write or close is fatal error 120.
void write_summary(int64_t n, int32_t column_count, const double* mean, const double* error,
                   const double* correlation, const int64_t* decorr_samples,
                   const char* const* labels, const char* output_path);

#endif
