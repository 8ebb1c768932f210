// The equilibration search of a column without its samples: a grid of at
// most GRID_MAX_BLOCKS blocks of g = 2^L samples each, fed samples in chunks
// of any size, from which the search of equilibration.h is made at the grid
// blocks' boundaries, the candidate starts here.
//
// A grid block keeps what the search needs of its samples: their mean
// (around the column's first sample K), the sum of their squared deviations
// from it, and, for every block size b = 2^j < g, the sum over its b-blocks
// of (b-block sum - b times its mean)^2. So any held block size B = 2^j can
// be evaluated later: B <= g from those sums, B > g from the grid blocks'
// means, B / g of them to a block. Blocks of one size combine by the
// pairwise update of Chan, Golub and LeVeque: for runs a and b of n_a and
// n_b samples whose means differ by d,
//   M2 = M2_a + M2_b + d^2 n_a n_b / n,  Q_B = Q_B,a + Q_B,b + B d^2 n_a n_b / n,
// with Q_B the sum over B-blocks of (block sum - B mean)^2. When a block
// would pass the bound, neighbours are paired (g doubles), so the grid
// holds GRID_MAX_BLOCKS / 2 to GRID_MAX_BLOCKS blocks once it has grown:
// candidates at least as close as the in-memory search's (about
// EQUILIBRATION_CANDIDATES). The samples of the block being filled are kept
// as per-level sums around that block's first sample, the complete b-blocks
// and their samples apart, so the samples after the last grid boundary count
// too. Sums about each block's own first sample, moved to the block's mean
// when it completes, keep their digits for a column of large values with a
// small spread and for a chain that starts far off its mean.
//
// Every sum depends on the samples' positions only (b-block sums are formed
// by pairs, the samples' sums in sample order within a grid block; pairing
// happens at fixed counts), so any chunking gives the same grid, bit for bit.
//
// Memory per column: the grid's blocks, (L + 1) doubles each, at most
// GRID_MAX_BLOCKS (L + 1) 8 bytes, plus GRID_MAX_LEVELS 4 8 bytes for the
// block being filled (2 kB): 172 kB for n = 10^7 (L = 12), 336 kB for
// n = 10^9 (L = 19), below 1 MB for any n < 2^63 (grid_bytes).
//
// Differences from search_equilibration, on the same samples:
// - The candidates are the grid boundaries i g (g <= about n / 1024, the
//   in-memory spacing about n / 1024), and the start is the first whole
//   held block at or after the best one.
// - The blocks are laid from the chain's start (a block of B starts at a
//   multiple of B), not from its end: the samples after the last whole
//   block (fewer than B) are left out of every candidate's sums, where the
//   in-memory search leaves out those before its first.
// - The held block size is the criterion level of Lee, Kent and Needs on the
//   grid's second half: the samples from the first grid boundary at or after
//   n - n / 2 (so up to g fewer than the in-memory n / 2), its pairwise
//   levels from those sums (levels past g from the grid blocks' means,
//   aligned with that boundary, the samples after the last whole one left
//   out).
// docs/streaming.md measures how far the starts differ, and what that
// changes in the error of the samples after them (bench/grid_agreement).
//
// The start's own tau and effective samples are left NaN: the caller
// analyses the samples from the start on (a second pass over the input, or
// the in-memory analysis of them) and takes the automatic estimate's.
#ifndef VARBLOC_ANALYSIS_EQUILIBRATION_GRID_H
#define VARBLOC_ANALYSIS_EQUILIBRATION_GRID_H

#include <cstddef>  // size_t
#include <cstdint>
#include <vector>

#include "analysis/equilibration.h"  // equilibration_table
#include "support/report.h"          // run_hooks

// Grid blocks held at most: reaching it, neighbours are paired.
constexpr int64_t GRID_MAX_BLOCKS = 2048;
// Block sizes 2^0 to 2^62: a count of samples fits in 63 bits.
constexpr int GRID_MAX_LEVELS = 63;

// One block size 2^j inside the grid block being filled: the sums of
// x - (the block's first sample) over its complete 2^j-blocks, of their
// squares, and of their samples' squares; and the first half's sum of the
// 2^(j+1)-block under way, waiting for the second.
struct grid_open_level {
  double sums;
  double squares;
  double sample_squares;
  double waiting;
};

// One column's grid.
struct equilibration_grid {
  int64_t count;            // samples fed
  int level;                // L: grid blocks of 2^L samples
  int64_t blocks;           // complete grid blocks
  double shift;             // K: the column's first sample
  double previous;          // the last sample fed
  int64_t last_change;      // the last index whose sample differs from the one before; 0: none
  int64_t last_non_finite;  // the last index of a NaN or an infinity; -1: none
  // Per complete grid block, L + 1 numbers: the mean of its samples less K,
  // the sum of their squared deviations from it, and for j = 1 to L - 1 the
  // sum over its 2^j-blocks of (block sum - 2^j mean)^2.
  std::vector<double> block;
  // The block being filled: its samples, its first sample, and per block size.
  int64_t open_count;
  double open_shift;
  grid_open_level open[GRID_MAX_LEVELS];
};

// Makes `grid` the empty grid of a column.
void grid_start(equilibration_grid* grid);

// Appends the `count` samples at x, the next ones of the column.
void grid_add(equilibration_grid* grid, const double* x, int64_t count);

// g, the samples of a grid block.
int64_t grid_block_samples(const equilibration_grid& grid);

// The bytes the grid holds, itself and its blocks.
size_t grid_bytes(const equilibration_grid& grid);

// The search of search_equilibration on the grids of column_count columns,
// fed the same n >= 1 samples each: the candidates are the grid boundaries
// below n, the effective samples per candidate and column, and each column's
// start, held block size and reason as the in-memory search gives them (tau
// and ess of the start NaN: see above). `hooks` (may be null) is polled for
// interruption.
equilibration_table grid_search(const equilibration_grid* grids, int32_t column_count,
                                const run_hooks* hooks);

#endif
