#include "analysis/general_error_routines_v3.h"

#include <cmath>  // sqrt, fabs, isfinite, NAN

#include "analysis/pairwise_levels.h"
#include "analysis/standard_error.h"

namespace {

// Running sums of one series around a fixed mean: S = sum of d_i^2,
// P = sum of d_(i-1) d_i, and the last deviation. Every operation is rounded
// on its own and the sums run in sample order, so feeding the deviations one
// at a time, from whatever loop, gives the same bits as the literal kernel.
struct lag1_sums {
  double squares;
  double products;
  double previous;
};

inline void lag1_add(lag1_sums* sums, double deviation) {
  sums->squares = sums->squares + deviation * deviation;
  sums->products = sums->products + sums->previous * deviation;
  sums->previous = deviation;
}

// error = sqrt(|S|) / sqrt(N M), correlation = (P N) / (S M) or 1.0 for S = 0,
// with N = n and M = n - 1: the standard error of the mean of n independent
// values and the lag-1 autocorrelation coefficient.
void lag1_finish(const lag1_sums* sums, int64_t n, double* error, double* correlation) {
  lag1_figures(sums->squares, sums->products, n, error, correlation);
}

// The levels that run for n samples: level 0 on the samples, then one level
// per block size s of BLOCK_SIZES (before the sentinel) while n / s > 10.
struct level_ladder {
  int count;                               // levels including level 0
  int32_t block_size[BLOCK_SIZE_ENTRIES];  // 1 for level 0
  int64_t values[BLOCK_SIZE_ENTRIES];      // samples or blocks per level
};

level_ladder plan_levels(int64_t n) {
  level_ladder ladder;
  ladder.count = 1;
  ladder.block_size[0] = 1;
  ladder.values[0] = n;
  for (int k = 0; k < BLOCK_SIZE_ENTRIES && BLOCK_SIZES[k] > 1; k++) {
    int64_t blocks = n / BLOCK_SIZES[k];
    if (blocks <= MIN_BLOCKS_PER_LEVEL) break;
    ladder.block_size[ladder.count] = BLOCK_SIZES[k];
    ladder.values[ladder.count] = blocks;
    ladder.count++;
  }
  return ladder;
}

// The means of WIDTH columns, each its samples added in order from 0 and
// divided by n. The columns' sums run side by side in one loop: each is a
// chain of dependent additions, and side by side their latencies overlap.
template <int WIDTH>
void column_means(const double* const* samples, int64_t n, double* mean) {
  double sums[WIDTH] = {};
  for (int64_t i = 0; i < n; i++) {
    for (int w = 0; w < WIDTH; w++) sums[w] = sums[w] + samples[w][i];
  }
  for (int w = 0; w < WIDTH; w++) mean[w] = sums[w] / static_cast<double>(n);
}

// Every block size is a multiple of this, so blocks end on group boundaries.
constexpr int GROUP = 5;

// Each block size divides the next, so a block of one level ends only where a
// block of every smaller level ends too: the check for finished blocks can
// stop at the first level whose block goes on.
constexpr bool block_sizes_nest() {
  if (BLOCK_SIZES[0] % GROUP != 0) return false;
  for (int k = 1; k < BLOCK_SIZE_ENTRIES && BLOCK_SIZES[k] > 1; k++) {
    if (BLOCK_SIZES[k] % BLOCK_SIZES[k - 1] != 0) return false;
  }
  return true;
}
static_assert(block_sizes_nest(), "each block size must be a multiple of the one before");

// Two block sums side by side. Adding two pairs is two ordinary additions,
// each rounded on its own, so pairs give the same bits as single sums; they
// halve the additions of the blocking levels.
typedef double sum_pair __attribute__((vector_size(2 * sizeof(double))));
constexpr int SUM_PAIRS = BLOCK_SIZE_ENTRIES / 2;  // lanes for levels 1 to BLOCK_SIZE_ENTRIES - 1

// The running state of one column's pass: the sums of every level, and the
// block sum of blocking level j in lane j - 1.
struct column_pass {
  const double* x;
  double mean;
  lag1_sums sums[BLOCK_SIZE_ENTRIES];
  sum_pair block_sum[SUM_PAIRS];
  int32_t blocks_left[BLOCK_SIZE_ENTRIES];       // blocks of level j - 1 until level j's ends
  int32_t blocks_per_block[BLOCK_SIZE_ENTRIES];  // blocks of level j - 1 in one of level j
};

// Blocks of level j - 1 (groups for level 1) that make one block of level j.
int32_t blocks_per_block(const level_ladder& ladder, int j) {
  return ladder.block_size[j] / (j == 1 ? GROUP : ladder.block_size[j - 1]);
}

void start_pass(column_pass* pass, const double* x, double mean, const level_ladder& ladder) {
  pass->x = x;
  pass->mean = mean;
  for (lag1_sums& sums : pass->sums) sums = lag1_sums{};
  for (sum_pair& sum : pass->block_sum) sum = sum_pair{0, 0};
  for (int j = 1; j < ladder.count; j++) {
    pass->blocks_per_block[j] = blocks_per_block(ladder, j);
    pass->blocks_left[j] = pass->blocks_per_block[j];
  }
}

// Feeds the group of GROUP samples at i to level 0 and to every blocking
// level's running block sum, and finishes the blocks that end with it.
[[gnu::always_inline]] inline void feed_group(column_pass* pass, const level_ladder& ladder,
                                              int64_t i) {
  const double* x = pass->x + i;
  const double mean = pass->mean;
  const double x0 = x[0], x1 = x[1], x2 = x[2], x3 = x[3], x4 = x[4];
  lag1_add(&pass->sums[0], x0 - mean);
  lag1_add(&pass->sums[0], x1 - mean);
  lag1_add(&pass->sums[0], x2 - mean);
  lag1_add(&pass->sums[0], x3 - mean);
  lag1_add(&pass->sums[0], x4 - mean);
  const sum_pair v0 = {x0, x0}, v1 = {x1, x1}, v2 = {x2, x2}, v3 = {x3, x3}, v4 = {x4, x4};
#pragma GCC unroll 8
  for (int k = 0; k < SUM_PAIRS; k++) {
    sum_pair sum = pass->block_sum[k];
    sum = sum + v0;
    sum = sum + v1;
    sum = sum + v2;
    sum = sum + v3;
    sum = sum + v4;
    pass->block_sum[k] = sum;
  }
#pragma GCC unroll 16
  for (int j = 1; j < BLOCK_SIZE_ENTRIES; j++) {
    if (j == ladder.count || --pass->blocks_left[j] != 0) break;
    pass->blocks_left[j] = pass->blocks_per_block[j];
    sum_pair& pair = pass->block_sum[(j - 1) / 2];
    const int lane = (j - 1) % 2;
    lag1_add(&pass->sums[j], pair[lane] / static_cast<double>(ladder.block_size[j]) - mean);
    pair[lane] = 0;
  }
}

// Samples of one slice of the pass: whole groups and whole pairwise chunks,
// so that the pairwise levels take a slice's samples while they are still in
// the cache.
constexpr int64_t SLICE = GROUP * PAIRWISE_CHUNK;

// Where analyse_columns puts the pairwise levels 1 and up of its columns:
// error[k * stride + w] and correlation[k * stride + w], for levels below
// level_count. Null for none.
struct pairwise_output {
  int level_count;
  double* error;
  double* correlation;
  pairwise_shape* shape;
};

// Analyses WIDTH columns at every level of the ladder in a single pass over
// their samples, side by side so that the additions of one column overlap
// those of the other. Each block sum starts from 0 and adds its samples in
// order, exactly as a separate pass per level would, so the results are
// bit-for-bit the same.
//
// Results go to error[j * stride + w] and correlation[j * stride + w] for
// level j. The caller's hooks are polled every POLL_SAMPLES samples.
template <int WIDTH>
void analyse_columns(const double* const* x, int64_t n, const double* mean,
                     const level_ladder& ladder, double* error, double* correlation, int32_t stride,
                     const pairwise_output* pairwise, const run_hooks* hooks) {
  constexpr int64_t POLL_SAMPLES = int64_t{GROUP} << 20;
  static_assert(POLL_SAMPLES % SLICE == 0, "a poll must end on a slice");
  column_pass pass[WIDTH];
  pairwise_pass pairs[WIDTH];
  for (int w = 0; w < WIDTH; w++) start_pass(&pass[w], x[w], mean[w], ladder);
  if (pairwise != nullptr) {
    for (int w = 0; w < WIDTH; w++) pairwise_start(&pairs[w], mean[w]);
  }
  const int64_t grouped = n / GROUP * GROUP;
  for (int64_t piece = 0; piece < grouped; piece += POLL_SAMPLES) {
    check_interrupted(hooks);
    const int64_t piece_end = grouped - piece > POLL_SAMPLES ? piece + POLL_SAMPLES : grouped;
    for (int64_t slice = piece; slice < piece_end; slice += SLICE) {
      const int64_t slice_end = piece_end - slice > SLICE ? slice + SLICE : piece_end;
      for (int64_t i = slice; i < slice_end; i += GROUP) {
        for (int w = 0; w < WIDTH; w++) feed_group(&pass[w], ladder, i);
      }
      if (pairwise == nullptr) continue;
      for (int w = 0; w < WIDTH; w++) {
        for (int64_t c = slice; slice_end - c >= PAIRWISE_CHUNK; c += PAIRWISE_CHUNK) {
          pairwise_add_chunk(&pairs[w], x[w] + c);
        }
      }
    }
  }
  for (int w = 0; w < WIDTH; w++) {
    for (int64_t i = grouped; i < n; i++) lag1_add(&pass[w].sums[0], x[w][i] - mean[w]);
    for (int j = 0; j < ladder.count; j++) {
      lag1_finish(&pass[w].sums[j], ladder.values[j], &error[j * stride + w],
                  &correlation[j * stride + w]);
    }
  }
  if (pairwise == nullptr) return;
  for (int w = 0; w < WIDTH; w++) {
    // The slices took the whole chunks before `grouped`; the rest follows.
    int64_t c = grouped / PAIRWISE_CHUNK * PAIRWISE_CHUNK;
    for (; n - c >= PAIRWISE_CHUNK; c += PAIRWISE_CHUNK) pairwise_add_chunk(&pairs[w], x[w] + c);
    pairwise_add_tail(&pairs[w], x[w] + c, n - c);
    for (int k = 1; k < pairwise->level_count; k++) {
      pairwise_finish(&pairs[w], k, &pairwise->error[k * stride + w],
                      &pairwise->correlation[k * stride + w], &pairwise->shape[k * stride + w]);
    }
  }
}

// Every column's automatic estimate, each column's kind read from its samples.
void finish_automatic(const double* const* samples, blocking_result* result) {
  std::vector<column_kind> kinds(static_cast<size_t>(result->column_count));
  for (int32_t c = 0; c < result->column_count; c++) {
    kinds[c] = kind_of_column(samples[c], result->samples, result->mean[c], result->level_error[c]);
  }
  estimate_columns(result, kinds.data());
}

}  // namespace

void lag1_figures(double squares, double products, int64_t n, double* error, double* correlation) {
  double values = static_cast<double>(n);
  double pairs = static_cast<double>(n - 1);
  *error = standard_error(squares, n);
  *correlation = squares == 0 ? 1.0 : (products * values) / (squares * pairs);
}

blocking_result plan_result(int64_t n, int32_t column_count, bool automatic) {
  const level_ladder ladder = plan_levels(n);
  const size_t columns = static_cast<size_t>(column_count);
  blocking_result result;
  result.samples = n;
  result.column_count = column_count;
  result.level_count = ladder.count;
  for (int j = 0; j < ladder.count; j++) {
    result.block_size[j] = ladder.block_size[j];
    result.level_values[j] = ladder.values[j];
  }
  result.mean.resize(columns);
  result.level_error.resize(columns * static_cast<size_t>(ladder.count));
  result.level_correlation.resize(columns * static_cast<size_t>(ladder.count));
  result.final_error.resize(columns);
  result.final_correlation.resize(columns);
  result.decision.resize(columns);
  if (automatic) {
    pairwise_table& table = result.pairwise;
    table.level_count = pairwise_level_count(n);
    const size_t entries = columns * static_cast<size_t>(table.level_count);
    table.block_size.resize(static_cast<size_t>(table.level_count));
    table.count.resize(static_cast<size_t>(table.level_count));
    table.error.resize(entries);
    table.correlation.resize(entries);
    table.error_error.resize(entries);
    table.shape.resize(entries);
  }
  return result;
}

void decide_columns(blocking_result* result) {
  const int32_t column_count = result->column_count;
  const size_t columns = static_cast<size_t>(column_count);
  const double* const error = result->level_error.data();
  const double* const correlation = result->level_correlation.data();
  // Per column: 0 until the column decorrelates, then the values per column
  // of that level; negated for a column that never decorrelates, which keeps
  // the last level's.
  std::vector<int64_t> decorr_samples(columns, 0);
  std::vector<int> decision_level(columns);
  for (int j = 0; j < result->level_count; j++) {
    const size_t level = static_cast<size_t>(j) * columns;
    for (int32_t c = 0; c < column_count; c++) {
      if (correlation[level + c] < DECORR_THRESHOLD && decorr_samples[c] == 0) {
        decorr_samples[c] = result->level_values[j];
        decision_level[c] = j;
      }
    }
  }
  // Columns never decorrelated keep the last level's values and count.
  const int last = result->level_count - 1;
  for (int32_t c = 0; c < column_count; c++) {
    if (decorr_samples[c] == 0) {
      decision_level[c] = last;
      decorr_samples[c] = -(result->samples / result->block_size[last]);
    }
    const bool decorrelated = decorr_samples[c] > 0;
    result->decision[c] = {decorrelated, decision_level[c],
                           decorrelated ? decorr_samples[c] : -decorr_samples[c]};
    const size_t at = static_cast<size_t>(decision_level[c]) * columns + c;
    result->final_error[c] = error[at];
    result->final_correlation[c] = correlation[at];
  }
}

void estimate_columns(blocking_result* result, const column_kind* kinds) {
  const int32_t columns = result->column_count;
  const size_t width = static_cast<size_t>(columns);
  pairwise_table& table = result->pairwise;
  for (int k = 0; k < table.level_count; k++) {
    table.block_size[k] = int64_t{1} << k;
    table.count[k] = result->samples >> k;
  }
  for (int32_t c = 0; c < columns; c++) {
    table.error[c] = result->level_error[c];
    table.correlation[c] = result->level_correlation[c];
    table.shape[c] = {NAN, NAN};
  }
  for (int k = 0; k < table.level_count; k++) {
    for (int32_t c = 0; c < columns; c++) {
      const size_t at = static_cast<size_t>(k) * width + c;
      table.error_error[at] = error_uncertainty(table.error[at], table.count[k]);
    }
  }
  result->automatic.resize(width);
  for (int32_t c = 0; c < columns; c++) {
    const pairwise_column levels = {table.level_count,      table.count.data(),
                                    table.error.data() + c, table.correlation.data() + c,
                                    table.shape.data() + c, columns};
    result->automatic[c] = estimate_column(result->samples, kinds[c], levels);
  }
}

void calc_additional_errors(int64_t n, const double* const* rows, int32_t column_count,
                            const double* mean, double* error, double* correlation) {
  for (int32_t c = 0; c < column_count; c++) {
    lag1_sums sums = {};
    for (int64_t i = 0; i < n; i++) lag1_add(&sums, rows[c][i] - mean[c]);
    lag1_finish(&sums, n, &error[c], &correlation[c]);
  }
}

int32_t pair_additional_data(int64_t n, int32_t block_size, const double* const* source,
                             double* const* destination, int32_t column_count) {
  const int64_t blocks = n / block_size;
  for (int32_t c = 0; c < column_count; c++) {
    for (int64_t k = 0; k < blocks; k++) {
      double sum = 0;
      for (int32_t t = 0; t < block_size; t++) sum = sum + source[c][k * block_size + t];
      destination[c][k] = sum / static_cast<double>(block_size);
    }
  }
  return static_cast<int32_t>(blocks);
}

blocking_result collect_additional_data(int64_t n, const double* const* samples,
                                        int32_t column_count, const double* column_sums,
                                        const run_hooks* hooks, bool automatic) {
  const level_ladder ladder = plan_levels(n);
  blocking_result result = plan_result(n, column_count, automatic);
  double* const mean = result.mean.data();
  double* const error = result.level_error.data();
  double* const correlation = result.level_correlation.data();

  if (column_sums != nullptr) {
    for (int32_t c = 0; c < column_count; c++) mean[c] = column_sums[c] / static_cast<double>(n);
  } else {
    int32_t c = 0;
    for (; c + 4 <= column_count; c += 4) {
      check_interrupted(hooks);
      column_means<4>(samples + c, n, mean + c);
    }
    for (; c < column_count; c++) {
      check_interrupted(hooks);
      column_means<1>(samples + c, n, mean + c);
    }
  }
  pairwise_table& table = result.pairwise;
  // Where column c's pairwise figures go; only formed when they are asked
  // for, since the table's arrays are empty otherwise.
  pairwise_output pairs{};
  auto pairwise_at = [&](int32_t c) -> const pairwise_output* {
    if (!automatic) return nullptr;
    pairs = {table.level_count, table.error.data() + c, table.correlation.data() + c,
             table.shape.data() + c};
    return &pairs;
  };
  int32_t c = 0;
  for (; c + 1 < column_count; c += 2) {
    analyse_columns<2>(samples + c, n, mean + c, ladder, error + c, correlation + c, column_count,
                       pairwise_at(c), hooks);
  }
  if (c < column_count) {
    analyse_columns<1>(samples + c, n, mean + c, ladder, error + c, correlation + c, column_count,
                       pairwise_at(c), hooks);
  }

  decide_columns(&result);
  if (automatic) finish_automatic(samples, &result);
  return result;
}
