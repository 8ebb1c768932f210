// Where a chain's equilibrated part starts. A simulation's first samples
// carry its starting state; the start t0 kept is the one that maximises the
// effective samples of the rest of the chain, (n - t0) / tau(t0) (Chodera,
// J. Chem. Theory Comput. 12, 1799 (2016)).
//
// Re-estimating tau with its own block size at every candidate start makes
// its noise swamp the slope of n - t0, and the maximum wanders over the
// chain's first third. So one block size B is chosen per column, the
// criterion level of Lee, Kent and Needs on the chain's second half (which a
// start-up transient rarely reaches), and held for every candidate: tau(t0)
// is B times the variance of the block means over that of the samples, both
// from t0 on. The blocks are laid from the chain's end, so that every
// candidate shares the blocks after it: one pass from the end, accumulating
// around a shift (the second half's mean), gives every candidate's sums,
// O(n) per column. The start's own tau and effective samples are then the
// automatic estimate's on the rest of the chain.
#ifndef VARBLOC_ANALYSIS_EQUILIBRATION_H
#define VARBLOC_ANALYSIS_EQUILIBRATION_H

#include <cstdint>
#include <vector>

#include "analysis/automatic_estimate.h"
#include "support/report.h"

// Candidate starts are spaced so that about this many are tried.
constexpr int64_t EQUILIBRATION_CANDIDATES = 1024;

// One column's start.
struct equilibration_column {
  int64_t start;       // samples to discard; 0 where no search could be made
  double tau;          // the automatic estimate's on the samples from the start on
  double ess;          // its effective samples there; NaN with no search
  int64_t block_size;  // held across the candidates; 0 with no search
  // Why there was no start to find: non-finite, constant or too large
  // values, or too few samples (no candidate leaves AUTOMATIC_MIN_BLOCKS
  // blocks); else ESTIMATE_OK.
  estimate_reason reason;
};

// The search over all columns: the starts tried, shared by the columns, and
// per candidate and column the effective samples (entry [i * column_count +
// c]), NaN where the rest of the chain holds fewer than AUTOMATIC_MIN_BLOCKS
// blocks or fewer than AUTOMATIC_MIN_SAMPLES samples.
struct equilibration_table {
  int32_t column_count = 0;
  std::vector<int64_t> candidates;  // 0, step, 2 step, ... below n
  std::vector<double> ess;
  std::vector<equilibration_column> column;
};

// The spacing of the candidate starts for n samples.
int64_t equilibration_step(int64_t n);

// The search on n >= 1 samples of each column (columns[c], only read);
// `hooks` (may be null) is polled for interruption.
equilibration_table search_equilibration(int64_t n, const double* const* columns,
                                         int32_t column_count, const run_hooks* hooks);

// The column whose start is the latest (the first of equal ones): the start
// that leaves every column equilibrated.
int32_t latest_start_column(const equilibration_table& table);

#endif
