#include "analysis/equilibration_grid.h"

#include <cmath>  // isfinite
#include <limits>

#include "analysis/automatic_estimate.h"  // criterion_level, AUTOMATIC_MIN_BLOCKS
#include "analysis/pairwise_levels.h"     // pairwise_level_count
#include "analysis/standard_error.h"

namespace {

constexpr double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();

// A run of consecutive samples as the search reads it: their count, their
// mean less K, the sum of their squared deviations from it, and for the
// held block size B the sum over their B-blocks of (block sum - B mean)^2.
struct grid_run {
  double count;
  double mean;
  double squares;
  double block_squares;
};

// The run a followed by b, for blocks of B samples (both runs of whole
// B-blocks): the pairwise update of Chan, Golub and LeVeque.
grid_run combine(const grid_run& a, const grid_run& b, double block) {
  if (a.count == 0) return b;
  if (b.count == 0) return a;
  const double n = a.count + b.count;
  const double d = b.mean - a.mean;
  const double weight = a.count * (b.count / n);
  return {n, a.mean + d * (b.count / n), (a.squares + b.squares) + (d * d) * weight,
          (a.block_squares + b.block_squares) + (d * d) * (weight * block)};
}

int64_t samples_of(int level) {
  return int64_t{1} << level;
}

// Numbers held per complete grid block.
size_t block_stride(const equilibration_grid& grid) {
  return static_cast<size_t>(grid.level) + 1;
}

// Pairs the grid's neighbouring blocks: g doubles, every sum moves to the
// pair's mean, and the new largest block size inside a block, the old g,
// holds the two halves. In place: block k's numbers are read (from 2k and
// 2k + 1) before they are written, and never past the ones still to read.
void pair_blocks(equilibration_grid* grid) {
  const size_t from = block_stride(*grid), to = from + 1;
  const double g = static_cast<double>(samples_of(grid->level));
  double a[GRID_MAX_LEVELS + 1], b[GRID_MAX_LEVELS + 1];
  for (int64_t k = 0; k < grid->blocks / 2; k++) {
    const double* first = grid->block.data() + static_cast<size_t>(2 * k) * from;
    for (size_t j = 0; j < from; j++) {
      a[j] = first[j];
      b[j] = first[from + j];
    }
    double* out = grid->block.data() + static_cast<size_t>(k) * to;
    const double d = b[0] - a[0];
    out[0] = a[0] + d * 0.5;
    // Q_b grows by b d^2 g / 2: the two halves' b-blocks lie d / 2 off the
    // pair's mean. Entry 1 is Q_1 = M2, b = 1; entry j the block size 2^(j-1)
    // ... (entry j + 1 holds b = 2^j, j = 0 to L - 1), the last the halves.
    for (size_t j = 1; j < from; j++) {
      const double size = static_cast<double>(samples_of(static_cast<int>(j) - 1));
      out[j] = (a[j] + b[j]) + (d * d) * (0.5 * g * size);
    }
    out[from] = (d * d) * (0.5 * g * g);
  }
  grid->blocks /= 2;
  grid->level++;
  grid->block.resize(static_cast<size_t>(grid->blocks) * to);
  grid->block.reserve(static_cast<size_t>(GRID_MAX_BLOCKS) * to);
}

// The block being filled is complete: its sums about its first sample moved
// to its mean.
void close_block(equilibration_grid* grid) {
  const double g = static_cast<double>(samples_of(grid->level));
  const grid_open_level* open = grid->open;
  grid->block.push_back((grid->open_shift - grid->shift) + open[0].sums / g);
  for (int j = 0; j < grid->level; j++) {
    const double blocks = static_cast<double>(samples_of(grid->level - j));
    grid->block.push_back(open[j].squares - open[j].sums * (open[j].sums / blocks));
  }
  grid->blocks++;
  grid->open_count = 0;
  if (grid->blocks == GRID_MAX_BLOCKS) pair_blocks(grid);
}

// Adds one sample: its deviation from the block's first sample to the
// samples' sums, then up the block sizes whose blocks it completes, each
// pair's sum from the two halves.
void add_sample(equilibration_grid* grid, double x) {
  if (grid->count == 0) grid->shift = x;
  if (grid->count > 0 && !(x == grid->previous)) grid->last_change = grid->count;
  if (!std::isfinite(x)) grid->last_non_finite = grid->count;
  grid->previous = x;
  grid->count++;
  if (grid->open_count == 0) {
    grid->open_shift = x;
    for (int j = 0; j <= grid->level; j++) grid->open[j] = grid_open_level{0, 0, 0, 0};
  }
  grid_open_level* open = grid->open;
  double sum = x - grid->open_shift;
  open[0].sums += sum;
  open[0].squares += sum * sum;
  open[0].sample_squares = open[0].squares;
  const int64_t ended = ++grid->open_count;
  for (int j = 0; j < grid->level; j++) {
    // The 2^j-block that ended is the first half of its pair: wait.
    if ((ended >> j) & 1) {
      open[j].waiting = sum;
      return;
    }
    sum = open[j].waiting + sum;
    open[j + 1].sums += sum;
    open[j + 1].squares += sum * sum;
    open[j + 1].sample_squares = open[0].squares;
  }
  close_block(grid);
}

// The complete grid block i as a run, for blocks of 2^j <= g samples.
grid_run block_run(const equilibration_grid& grid, int64_t i, int j) {
  const double* numbers = grid.block.data() + static_cast<size_t>(i) * block_stride(grid);
  const double squares = grid.level > 0 ? numbers[1] : 0.0;
  const double block_squares = j < grid.level ? (j == 0 ? squares : numbers[j + 1]) : 0.0;
  return {static_cast<double>(samples_of(grid.level)), numbers[0], squares, block_squares};
}

// The complete 2^j-blocks of the block being filled as a run; empty when
// there are none.
grid_run open_run(const equilibration_grid& grid, int j) {
  const int64_t whole = grid.open_count >> j;
  if (whole == 0) return {0, 0, 0, 0};
  const grid_open_level& level = grid.open[j];
  const double samples = static_cast<double>(whole << j);
  const double mean = level.sums / samples;
  return {samples, (grid.open_shift - grid.shift) + mean, level.sample_squares - level.sums * mean,
          level.squares - level.sums * (level.sums / static_cast<double>(whole))};
}

// The runs of the whole 2^j-blocks from grid block `first` on, in order,
// with where each starts: for 2^j <= g the grid blocks (and the complete
// blocks of the one being filled), for 2^j > g each block of 2^j made from
// 2^j / g grid blocks, laid from block `first`.
struct grid_runs {
  std::vector<grid_run> run;
  std::vector<int64_t> start;
};

grid_runs runs_of(const equilibration_grid& grid, int j, int64_t first) {
  grid_runs out;
  const int64_t g = samples_of(grid.level);
  if (j <= grid.level) {
    for (int64_t i = first; i < grid.blocks; i++) {
      out.run.push_back(block_run(grid, i, j));
      out.start.push_back(i * g);
    }
    const grid_run last = open_run(grid, j);
    if (last.count > 0) {
      out.run.push_back(last);
      out.start.push_back(grid.blocks * g);
    }
    return out;
  }
  const int64_t group = samples_of(j - grid.level);
  for (int64_t i = first; i + group <= grid.blocks; i += group) {
    grid_run merged = {0, 0, 0, 0};
    for (int64_t t = i; t < i + group; t++) merged = combine(merged, block_run(grid, t, 0), 0.0);
    merged.block_squares = 0;  // one block of 2^j, about its own mean
    out.run.push_back(merged);
    out.start.push_back(i * g);
  }
  return out;
}

// All the runs as one.
grid_run total_of(const grid_runs& runs, double block) {
  grid_run total = {0, 0, 0, 0};
  for (const grid_run& r : runs.run) total = combine(total, r, block);
  return total;
}

// The block size held for the column: the criterion level of Lee, Kent and
// Needs on the samples from the first grid boundary at or after n - n / 2,
// at least 4; 0 where the figures there are not finite (values too large).
int64_t held_block_size(const equilibration_grid& grid) {
  const int64_t g = samples_of(grid.level);
  const int64_t boundary = grid.count - grid.count / 2;
  const int64_t first = (boundary + g - 1) / g;
  const grid_run samples = total_of(runs_of(grid, 0, first), 1.0);
  const int64_t n = static_cast<int64_t>(samples.count);
  std::vector<double> error(1, standard_error(samples.squares, n));
  if (!std::isfinite(samples.mean) || !std::isfinite(error[0])) return 0;
  const int levels = pairwise_level_count(n);
  for (int k = 1; k < levels; k++) {
    const double size = static_cast<double>(samples_of(k));
    const grid_run level = total_of(runs_of(grid, k, first), size);
    const int64_t count = static_cast<int64_t>(level.count / size);
    if (count < 2) break;
    error.push_back(standard_error(level.block_squares / (size * size), count));
  }
  const int level_count = static_cast<int>(error.size());
  const int criterion = criterion_level(n, level_count, error.data(), 1);
  return samples_of(criterion > 2 ? criterion : 2);
}

// s^2 / e_B^2 of the whole B-blocks of a run, the in-memory search's
// effective samples; NaN with fewer than AUTOMATIC_MIN_BLOCKS blocks or
// AUTOMATIC_MIN_SAMPLES samples.
double effective_samples(const grid_run& run, double block) {
  const double blocks = run.count / block;
  if (blocks < static_cast<double>(AUTOMATIC_MIN_BLOCKS) ||
      run.count < static_cast<double>(AUTOMATIC_MIN_SAMPLES)) {
    return NOT_A_NUMBER;
  }
  const double samples = run.squares / (run.count - 1) / run.count * run.count;
  return samples / ((run.block_squares / (block * block)) / (blocks - 1) / blocks);
}

// Why the column has no start to search, as the in-memory search tells it
// (from the second half's kind first, then the whole column's); ESTIMATE_OK
// where it has one.
estimate_reason reason_without_search(const equilibration_grid& grid) {
  const int64_t n = grid.count, half = n / 2;
  if (half < 2) return ESTIMATE_TOO_FEW;
  if (grid.last_non_finite >= n - half) return ESTIMATE_NON_FINITE;
  if (grid.last_change <= n - half) return ESTIMATE_CONSTANT;
  if (pairwise_level_count(half) < 2) return ESTIMATE_TOO_FEW;
  if (grid.last_non_finite >= 0) return ESTIMATE_NON_FINITE;
  return ESTIMATE_OK;
}

// One column's search, writing its effective samples per candidate.
equilibration_column search_grid(const equilibration_grid& grid, const equilibration_table& table,
                                 double* ess, int32_t stride) {
  const int64_t candidates = static_cast<int64_t>(table.candidates.size());
  for (int64_t i = 0; i < candidates; i++) ess[i * stride] = NOT_A_NUMBER;
  equilibration_column column = {0, NOT_A_NUMBER, NOT_A_NUMBER, 0, reason_without_search(grid)};
  if (column.reason != ESTIMATE_OK) return column;
  const int64_t block = held_block_size(grid);
  if (block == 0) {
    column.reason = ESTIMATE_TOO_LARGE;
    return column;
  }
  int j = 0;
  while (samples_of(j) < block) j++;
  const grid_runs runs = runs_of(grid, j, 0);
  const double size = static_cast<double>(block);
  // From the last candidate back, the runs that start at or after it added
  // in front; the earliest of equal maxima is kept.
  grid_run rest = {0, 0, 0, 0};
  int64_t next = static_cast<int64_t>(runs.run.size()), best = -1, best_start = 0;
  for (int64_t i = candidates - 1; i >= 0; i--) {
    while (next > 0 && runs.start[next - 1] >= table.candidates[i]) {
      next--;
      rest = combine(runs.run[next], rest, size);
    }
    ess[i * stride] = effective_samples(rest, size);
    if (ess[i * stride] >= (best < 0 ? 0.0 : ess[best * stride])) {
      best = i;
      best_start = runs.start[next];
    }
  }
  if (!std::isfinite(rest.squares) || !std::isfinite(rest.block_squares)) {
    for (int64_t i = 0; i < candidates; i++) ess[i * stride] = NOT_A_NUMBER;
    column.reason = ESTIMATE_TOO_LARGE;
    return column;
  }
  column.block_size = block;
  if (best < 0) {
    column.reason = ESTIMATE_TOO_FEW;
    return column;
  }
  column.start = best_start;
  return column;
}

}  // namespace

void grid_start(equilibration_grid* grid) {
  grid->count = 0;
  grid->level = 0;
  grid->blocks = 0;
  grid->shift = 0;
  grid->previous = 0;
  grid->last_change = 0;
  grid->last_non_finite = -1;
  grid->block.clear();
  grid->block.shrink_to_fit();
  grid->block.reserve(static_cast<size_t>(GRID_MAX_BLOCKS));
  grid->open_count = 0;
  grid->open_shift = 0;
  for (grid_open_level& level : grid->open) level = grid_open_level{0, 0, 0, 0};
}

void grid_add(equilibration_grid* grid, const double* x, int64_t count) {
  for (int64_t i = 0; i < count; i++) add_sample(grid, x[i]);
}

int64_t grid_block_samples(const equilibration_grid& grid) {
  return samples_of(grid.level);
}

size_t grid_bytes(const equilibration_grid& grid) {
  return sizeof grid + grid.block.capacity() * sizeof(double);
}

equilibration_table grid_search(const equilibration_grid* grids, int32_t column_count,
                                const run_hooks* hooks) {
  equilibration_table table;
  table.column_count = column_count;
  const equilibration_grid& first = grids[0];
  const int64_t g = samples_of(first.level);
  for (int64_t start = 0; start < first.count; start += g) table.candidates.push_back(start);
  table.ess.resize(table.candidates.size() * static_cast<size_t>(column_count));
  for (int32_t c = 0; c < column_count; c++) {
    check_interrupted(hooks);
    table.column.push_back(search_grid(grids[c], table, table.ess.data() + c, column_count));
  }
  return table;
}
