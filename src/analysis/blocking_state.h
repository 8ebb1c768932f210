// The blocking analysis of a column without its samples: a state of about
// 730 numbers (5.9 kB), whatever the chain's length, that takes samples in
// chunks of any size, merges with the state of the segment that follows it,
// and gives the same result as collect_additional_data(..., automatic =
// true) on the samples it was fed. A state is a plain struct without
// pointers, so its bytes are the whole of it: copied, stored or sent to
// another process (on a machine of the same byte order) it stays valid.
// Feeding works in pieces of PAIRWISE_CHUNK samples, each made into a state
// of its own by whole-level loops and merged: O(1) per sample, about as fast
// as the in-memory analysis.
//
// A state covers one segment of a chain: `count` samples from the chain's
// sample `offset` on. Every level, the fixed ladder's (block sizes 1, 5, 10,
// ..., 50000) and the pairwise levels (block sizes 2^k, k = 1 to 62), lays
// its blocks from the chain's first sample, so a segment holds, per level,
// the samples before its first block start (the head), its complete blocks,
// and the samples after its last block start (the tail). Two consecutive
// segments join where the left's tail (or, with no block start in it, its
// head) meets the right's head: that piece becomes a block when it reaches a
// block boundary, and the blocks of both sides follow each other. A segment
// short of any block start is all head; an empty one changes nothing.
//
// Sums run around a shift K, the segment's first sample, so that a column of
// large values with a small spread (energies near -12345.6 with spread 0.01)
// keeps its digits: heads and tails are sums of x - K, and a level's complete
// blocks are kept as their count, the mean of their block means around K,
// the sums of the 2nd, 3rd and 4th powers of the block means' deviations from
// that mean, the lag-1 products of those deviations, and the first and last
// block mean. Two runs of blocks combine by the pairwise update of Chan,
// Golub and LeVeque (the 3rd and 4th powers as Pebay, Sandia report
// SAND2008-6212, gives them); moving the lag products from a run's own mean
// to the combined mean c,
//   sum (v_(i-1) - c)(v_i - c) = P - e ((v_0 - mu) + (v_(m-1) - mu)) + (m - 1) e^2,
// with e = mu - c, follows from the deviations about mu summing to zero.
// The result moves each level's sums to the column's mean the same way.
//
// How far the digits can differ from the in-memory analysis: the state adds
// in another order (by blocks of the chunks, then by merges) and about the
// levels' own means instead of the column's, so each figure differs by a few
// roundings of its own size, about 1e-15 relative; a level whose sums
// cancel deeply (a correlation near zero, a kurtosis from few blocks) can
// lose a few digits more: the tests bound the difference by 1e-12 relative
// on levels of 16 blocks or more (every level the estimate can settle at),
// by 1e-10 on the top few pairwise levels of 2 to 15 blocks, and the mean's
// by 1e-12 of the samples' standard deviation. A pairwise level's kurtosis,
// taken about the column's mean, is moved there from the level's own mean
// across their difference e through 4 e (sum of cubes), a sum of either
// sign: for a chain that starts far off its mean it can lose a digit more,
// and the tests hold it to 1e-11 (3.4e-12 seen). For a column whose
// mean is large against its spread the in-memory analysis is the less exact
// one: it sums the raw samples of a block, whose rounding grows with the
// offset, where the state sums x - K. Columns whose every sample is the same
// give an error of exactly 0 here, where the in-memory mean's rounding can
// leave a few units in the last place. The mean is the in-memory one: the
// samples' raw sum, added one after the other, over n; fed in any chunks it
// is the same to the last bit, merged from segments it adds their two raw
// sums, one rounding more per merge. So a raw sum that overflows gives
// "values too large" here as in memory, whatever the sums around K.
#ifndef VARBLOC_ANALYSIS_BLOCKING_STATE_H
#define VARBLOC_ANALYSIS_BLOCKING_STATE_H

#include <cstdint>

#include "analysis/general_error_routines_v3.h"  // blocking_result, BLOCK_SIZES
#include "analysis/pairwise_levels.h"            // PAIRWISE_MAX_LEVELS

// The complete blocks of one level: their means v_i (around the shift),
// counted, with their mean mu and the sums about mu of (v_i - mu)^2, ^3, ^4
// and (v_(i-1) - mu)(v_i - mu). The 3rd and 4th powers only on the pairwise
// levels, whose kurtosis the automatic estimate reads.
struct level_moments {
  int64_t count;
  double mean;
  double squares;
  double cubes;
  double fourths;
  double products;
  double first;  // v_0
  double last;   // v_(count-1)
};

// One level of a segment: its complete blocks, and the sums of x - K of the
// samples before its first block start and after its last.
struct level_state {
  level_moments blocks;
  double head;
  double tail;
};

// Levels of the fixed ladder: level 0 (the samples) and one per block size.
constexpr int STATE_FIXED_LEVELS = BLOCK_SIZE_ENTRIES;

// One column's state of a segment of its chain.
struct column_state {
  int64_t offset;       // the chain's index of the segment's first sample
  int64_t count;        // samples in the segment
  double shift;         // K, the sums' origin: the segment's first sample
  double first_sample;  // the segment's first sample
  // The segment's samples added one after the other from 0, as the
  // in-memory analysis forms a column's sum: fed without merges, the state
  // gives the chain's mean to the last bit (a merge adds two such sums).
  double sum;
  bool non_finite;  // a NaN or an infinity among the samples
  bool varied;      // a sample differs from the first
  // Level j: block size 1 for j = 0, else BLOCK_SIZES[j - 1].
  level_state fixed[STATE_FIXED_LEVELS];
  // Level k >= 1: block size 2^k (entry 0 unused; level 0 is fixed[0]).
  level_state pairwise[PAIRWISE_MAX_LEVELS];
};

// Makes `state` the empty segment that starts at the chain's sample `offset`.
void state_start(column_state* state, int64_t offset);

// Appends the `count` samples at x, the next ones of the segment.
void state_add(column_state* state, const double* x, int64_t count);

// Appends the segment of `right`, which starts where `left`'s ends.
void state_merge(column_state* left, const column_state& right);

// The analysis of the chains whose states (one per column, each from the
// chain's sample 0, all of the same count >= 1) are given: everything
// collect_additional_data(..., automatic = true) gives on their samples.
blocking_result state_result(const column_state* states, int32_t column_count);

#endif
