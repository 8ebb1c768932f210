// The pairwise blocking levels of a column: level k holds the averages of
// consecutive pairs of level k - 1's values (an odd last value dropped), so
// blocks of 2^k samples; level 0 is the samples. Per level the standard error
// of the mean, the lag-1 correlation and the error's own uncertainty,
// error / sqrt(2 (count - 1)). The automatic estimate rests on these levels.
//
// A level is kept as the deviations of its values from the column's mean m:
// level 1 holds (x_2i + x_2i+1) * 0.5 - m, level k > 1 the pair averages
// (d_2i + d_2i+1) * 0.5 of level k - 1's deviations, so the sums of every
// level run around the mean. Each sum is formed as four
// partial sums, over the values whose index modulo 4 is 0, 1, 2 and 3, each
// added in index order, then combined as (s0 + s1) + (s2 + s3): four
// independent chains of additions, which a plain C loop with four
// accumulators forms the same way, bit for bit.
#ifndef VARBLOC_ANALYSIS_PAIRWISE_LEVELS_H
#define VARBLOC_ANALYSIS_PAIRWISE_LEVELS_H

#include <cstdint>

// Samples taken in one chunk: blocks of up to 2^PAIRWISE_CHUNK_LEVELS samples
// lie wholly inside a chunk.
constexpr int PAIRWISE_CHUNK_LEVELS = 12;
constexpr int64_t PAIRWISE_CHUNK = int64_t{1} << PAIRWISE_CHUNK_LEVELS;
// Levels 1 to 62 at most: a count of samples fits in 63 bits.
constexpr int PAIRWISE_MAX_LEVELS = 63;

// Running sums of one level around the column mean: deviations d_i, their
// squares and fourth powers, the lag products d_(i-1) d_i, in lanes i % 4.
// The fourth powers give the level's kurtosis, which sets the spread of the
// automatic estimate.
struct pairwise_sums {
  double deviations[4];
  double squares[4];
  double fourths[4];
  double products[4];
  double first;     // d_0
  double previous;  // the last deviation added
  int64_t count;
};

// One column's pass: the sums of levels 1 and up, and for the levels past a
// chunk the value waiting for its partner.
struct pairwise_pass {
  double mean;
  pairwise_sums level[PAIRWISE_MAX_LEVELS + 1];
  double waiting[PAIRWISE_MAX_LEVELS + 1];
  bool has_waiting[PAIRWISE_MAX_LEVELS + 1];
};

void pairwise_start(pairwise_pass* pass, double mean);

// Adds the PAIRWISE_CHUNK samples at x, the next ones of the column (every
// chunk but the last whole one).
void pairwise_add_chunk(pairwise_pass* pass, const double* x);

// Adds the last count < PAIRWISE_CHUNK samples at x.
void pairwise_add_tail(pairwise_pass* pass, const double* x, int64_t count);

// Levels 0 to pairwise_level_count(n) - 1 exist for n samples: level k > 0
// when it holds at least 2 values.
int pairwise_level_count(int64_t n);

// What the automatic estimate reads of one level, besides its error and
// lag-1 correlation: the kurtosis of its values about the column's mean,
// sum d^4 / (sum d^2)^2 times their count, and its first value's deviation
// from the level's own mean in units of their standard deviation.
struct pairwise_shape {
  double kurtosis;
  double first_deviation;
};

// The figures of level k >= 1 after every sample was added.
void pairwise_finish(const pairwise_pass* pass, int k, double* error, double* correlation,
                     pairwise_shape* shape);

// A level's sums as its figures read them: about its own mean, the squared
// deviations, the lag products d_(i-1) d_i and the first value's deviation;
// about the column's mean, the squares and fourth powers (the kurtosis).
struct pairwise_central_sums {
  int64_t count;
  double squares;
  double products;
  double first;
  double column_squares;
  double column_fourths;
};

// The figures of a level from those sums; pairwise_finish forms them from
// the pass's and ends here, and so does a streaming state (blocking_state.h).
void pairwise_figures(const pairwise_central_sums& sums, double* error, double* correlation,
                      pairwise_shape* shape);

// error / sqrt(2 (count - 1)), the standard deviation of an error estimated
// from count independent normal values.
double error_uncertainty(double error, int64_t count);

#endif
