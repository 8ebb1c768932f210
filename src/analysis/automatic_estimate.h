// The automatic error estimate of a column, from its pairwise levels, and a
// verdict on whether it can be trusted.
//
// The level: the smallest block size B = 2^k with B^3 > 2 n (e_k / e_0)^4,
// e_k the error at level k (Lee, Kent and Needs, Phys. Rev. E 83, 066706
// (2011), Eq. 14, after Wolff, Comput. Phys. Commun. 156, 143 (2004)). The
// blocking error at block size B falls short of the true one by a term in
// 1/B, which the extrapolation of two adjacent levels removes:
//   error = sqrt(2 e(2B)^2 - e(B)^2),
// taken one level below the criterion's (2B = its block size / 2), where
// the blocks are twice as many. docs/validation.md shows the candidates
// measured side by side.
#ifndef VARBLOC_ANALYSIS_AUTOMATIC_ESTIMATE_H
#define VARBLOC_ANALYSIS_AUTOMATIC_ESTIMATE_H

#include <cstdint>

// Why an estimate is, or is not, to be trusted. Only ESTIMATE_OK is reliable.
enum estimate_reason {
  ESTIMATE_OK,
  ESTIMATE_NON_FINITE,  // a NaN or an infinity among the samples
  ESTIMATE_CONSTANT,    // every sample the same: no error to estimate
  ESTIMATE_TOO_LARGE,   // finite samples whose sums overflow
  ESTIMATE_TOO_FEW,     // fewer than AUTOMATIC_MIN_SAMPLES samples
  ESTIMATE_NO_PLATEAU,  // the errors still grow at the last level
  ESTIMATE_TOO_SHORT,   // fewer than AUTOMATIC_MIN_BLOCKS blocks at the estimate's level
};

// The reason as the report, the record and the module give it: "ok", ...
const char* estimate_reason_text(estimate_reason reason);

// Fewer samples than this are never reliable.
constexpr int64_t AUTOMATIC_MIN_SAMPLES = 64;
// The estimate's level must hold at least this many blocks.
constexpr int64_t AUTOMATIC_MIN_BLOCKS = 32;

struct automatic_estimate {
  double error;        // of the mean; NaN where there is none
  double error_error;  // its standard deviation
  int64_t block_size;  // 2B, the larger block size the estimate rests on; 0 for none
  double tau;          // integrated autocorrelation time: error^2 = tau e_0^2
  double ess;          // effective samples, n / tau
  bool reliable;
  estimate_reason reason;
};

// What estimate_column needs to know of a column besides its levels.
enum column_kind { COLUMN_USUAL, COLUMN_NON_FINITE, COLUMN_CONSTANT, COLUMN_TOO_LARGE };

// What the n samples at x are, given their mean and level-0 error: a finite
// mean and error mean finite samples and sums; otherwise the samples tell.
column_kind kind_of_column(const double* x, int64_t n, double mean, double e0);

// The estimate for a column of n samples from its levels 0 to level_count - 1
// (block size 2^k, count[k] values, error[k * stride]).
automatic_estimate estimate_column(int64_t n, column_kind kind, int level_count,
                                   const int64_t* count, const double* error, int32_t stride);

#endif
