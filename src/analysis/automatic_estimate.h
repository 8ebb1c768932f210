// The automatic error estimate of a column, from its pairwise levels, and a
// verdict on whether it can be trusted.
//
// The estimate. At a level of block size B with m block means of error e_B
// and lag-1 correlation r_B,
//   v(B) = e_B^2 (1 + 2 r_B) (m - 1) / (m - 3)
// estimates the variance of the mean. B var(block mean) sums the
// autocovariances with the triangular weight 1 - |t|/B, and adding twice
// the lag-1 covariance of adjacent blocks makes the weight flat up to lag B
// and let it fall to 0 at 2B: a flat-top window (Politis and Romano, J.
// Time Ser. Anal. 16, 67 (1995)), whose bias falls off with the correlations
// beyond B instead of as 1/B. (m - 1) / (m - 3) removes what subtracting the
// mean of the m blocks takes from v(B). The level is the smallest B = 2^k,
// k >= 1, with B >= AUTOMATIC_WINDOW tau_up, Sokal's self-consistent window
// in the blocking ladder (Sokal, in Functional Integration, Plenum 1997).
// tau_up is the larger of v(2B) / e_0^2 and v(4B) / e_0^2, read one and two
// levels up (the second where it holds AUTOMATIC_PILOT_BLOCKS blocks): the
// levels above decide, so that a chain whose estimate came out small does not
// thereby get a smaller window, and two of them, so that a slow part of the
// correlations that shows only at the larger block widens it.
// docs/validation.md shows the candidates measured.
//
// Its uncertainty comes from the chosen level's data: for m nearly
// independent block means of kurtosis K, the relative variance of v(B) is
// (K - 1 + 4) / (m - 1), the squares' spread and that of the lag products;
// the error's is a quarter of it.
//
// The verdict: reliable when a level met the window with at least
// AUTOMATIC_PILOT_BLOCKS blocks one level up, the chain is at least
// AUTOMATIC_MIN_TAUS times tau_up long, and no level's first block stands
// AUTOMATIC_TRANSIENT_DEVIATIONS standard deviations off its mean (a
// start-up transient, which --discard=auto drops). Where no level met the
// window, the errors either level off beyond the chain's levels (too short)
// or never do (no plateau), as the criterion of Lee, Kent and Needs tells.
#ifndef VARBLOC_ANALYSIS_AUTOMATIC_ESTIMATE_H
#define VARBLOC_ANALYSIS_AUTOMATIC_ESTIMATE_H

#include <cstdint>

#include "analysis/pairwise_levels.h"  // pairwise_shape

// Why an estimate is, or is not, to be trusted. Only ESTIMATE_OK is reliable.
enum estimate_reason {
  ESTIMATE_OK,
  ESTIMATE_NON_FINITE,  // a NaN or an infinity among the samples
  ESTIMATE_CONSTANT,    // every sample the same: no error to estimate
  ESTIMATE_TOO_LARGE,   // finite samples whose sums overflow
  ESTIMATE_TOO_FEW,     // fewer than AUTOMATIC_MIN_SAMPLES samples
  ESTIMATE_NO_PLATEAU,  // the errors never level off (criterion_level not met)
  ESTIMATE_TOO_SHORT,   // no level as long as its window, or n < AUTOMATIC_MIN_TAUS tau
  ESTIMATE_TRANSIENT,   // the chain's start lies far off its mean
};

// The reason as the report, the record and the module give it: "ok", ...
const char* estimate_reason_text(estimate_reason reason);

// Fewer samples than this are never reliable.
constexpr int64_t AUTOMATIC_MIN_SAMPLES = 64;
// The equilibration search's candidates leave at least this many blocks.
constexpr int64_t AUTOMATIC_MIN_BLOCKS = 32;
// The window: block size at least this many times tau.
constexpr double AUTOMATIC_WINDOW = 1.5;
// The level above the estimate's, whose tau decides the window, holds at
// least this many blocks.
constexpr int64_t AUTOMATIC_PILOT_BLOCKS = 8;
// A reliable chain is at least this many times tau long.
constexpr double AUTOMATIC_MIN_TAUS = 50;
// A first block this many standard deviations off the level's mean, at a
// level of at least AUTOMATIC_TRANSIENT_BLOCK samples per block and
// AUTOMATIC_TRANSIENT_COUNT blocks, marks a start-up transient.
constexpr double AUTOMATIC_TRANSIENT_DEVIATIONS = 6;
constexpr int64_t AUTOMATIC_TRANSIENT_BLOCK = 16;
constexpr int64_t AUTOMATIC_TRANSIENT_COUNT = 64;

struct automatic_estimate {
  double error;        // of the mean; NaN where there is none
  double error_error;  // its standard deviation
  int64_t block_size;  // B, the block size the estimate rests on; 0 for none
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

// One column's pairwise levels 0 to level_count - 1 as the estimate reads
// them: level k (block size 2^k) has count[k] values, and the error, lag-1
// correlation and shape at [k * stride] (level 0's shape is not read).
struct pairwise_column {
  int level_count;
  const int64_t* count;
  const double* error;
  const double* correlation;
  const pairwise_shape* shape;
  int32_t stride;
};

// The estimate for a column of n samples from its pairwise levels.
automatic_estimate estimate_column(int64_t n, column_kind kind, const pairwise_column& levels);

// The level k* of the criterion of Lee, Kent and Needs (Phys. Rev. E 83,
// 066706 (2011), Eq. 14): the smallest k >= 1 with (2^k)^3 > 2 n (e_k /
// e_0)^4, where the blocking error has levelled off; level_count when none
// is. The equilibration search holds its block size across its candidates.
int criterion_level(int64_t n, int level_count, const double* error, int32_t stride);

#endif
