#include "analysis/equilibration.h"

#include <cmath>  // sqrt, fabs, isfinite
#include <limits>
#include <memory>

#include "analysis/pairwise_levels.h"
#include "analysis/standard_error.h"

namespace {

constexpr double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();

// The sum of (x[i] - shift)^power over the n samples at x, power 1 or 2, in
// four lanes: four chains of additions run side by side.
template <int POWER>
double lane_sum(const double* x, int64_t n, double shift) {
  double lanes[4] = {0, 0, 0, 0};
  int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (int l = 0; l < 4; l++) {
      const double d = x[i + l] - shift;
      lanes[l] += POWER == 1 ? d : d * d;
    }
  }
  for (; i < n; i++) {
    const double d = x[i] - shift;
    lanes[0] += POWER == 1 ? d : d * d;
  }
  return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}

// The pairwise levels of the n samples at x, from a pass of their own: what
// the automatic estimate and the criterion level read.
struct column_levels {
  std::vector<double> error, correlation;
  std::vector<pairwise_shape> shape;
  std::vector<int64_t> count;
  column_kind kind;
  pairwise_column view() const {
    return {static_cast<int>(count.size()),
            count.data(),
            error.data(),
            correlation.data(),
            shape.data(),
            1};
  }
};

column_levels levels_of(const double* x, int64_t n) {
  const double mean = lane_sum<1>(x, n, 0.0) / static_cast<double>(n);
  const double squares = lane_sum<2>(x, n, mean);
  const int levels = pairwise_level_count(n);
  column_levels out;
  out.error.resize(static_cast<size_t>(levels));
  out.correlation.resize(static_cast<size_t>(levels));
  out.shape.resize(static_cast<size_t>(levels));
  out.count.resize(static_cast<size_t>(levels));
  out.error[0] = standard_error(squares, n);
  out.correlation[0] = NOT_A_NUMBER;  // the estimate does not read level 0's
  out.shape[0] = {NOT_A_NUMBER, NOT_A_NUMBER};
  out.count[0] = n;
  auto pass = std::make_unique<pairwise_pass>();
  pairwise_start(pass.get(), mean);
  int64_t i = 0;
  for (; i + PAIRWISE_CHUNK <= n; i += PAIRWISE_CHUNK) pairwise_add_chunk(pass.get(), x + i);
  pairwise_add_tail(pass.get(), x + i, n - i);
  for (int k = 1; k < levels; k++) {
    pairwise_finish(pass.get(), k, &out.error[k], &out.correlation[k], &out.shape[k]);
    out.count[k] = pass->level[k].count;
  }
  out.kind = kind_of_column(x, n, mean, out.error[0]);
  return out;
}

// The automatic estimate of the n samples at x.
automatic_estimate estimate_of(const double* x, int64_t n) {
  const column_levels levels = levels_of(x, n);
  return estimate_column(n, levels.kind, levels.view());
}

// Sums of values about the shift: of their deviations and of the squares.
struct shifted_sums {
  double deviations = 0;
  double squares = 0;
  int64_t count = 0;
};

inline void add_to(shifted_sums* sums, double d) {
  sums->deviations += d;
  sums->squares += d * d;
  sums->count++;
}

// The variance of the mean of independent values with these sums,
// s^2 / count; NaN for fewer than two.
double variance_of_mean(const shifted_sums& sums) {
  const double m = static_cast<double>(sums.count);
  const double spread = sums.squares - sums.deviations * (sums.deviations / m);
  return spread / (m - 1) / m;
}

// The scan of one column from its end: the samples after `position`, and the
// blocks of `block` samples, laid from the end, lying wholly after it.
struct backward_scan {
  const double* x;
  double shift;
  int64_t block;
  int64_t position;
  shifted_sums samples;                  // of the completed blocks
  double open_deviations, open_squares;  // the samples of the block under way
  int64_t open_count;
  shifted_sums blocks;  // of the block means
};

// Adds the samples at x[from .. to) to the open block.
void add_samples(backward_scan* scan, int64_t from, int64_t to) {
  double d[4] = {0, 0, 0, 0}, q[4] = {0, 0, 0, 0};
  int64_t i = from;
  for (; i + 4 <= to; i += 4) {
    for (int l = 0; l < 4; l++) {
      const double v = scan->x[i + l] - scan->shift;
      d[l] += v;
      q[l] += v * v;
    }
  }
  for (; i < to; i++) {
    const double v = scan->x[i] - scan->shift;
    d[0] += v;
    q[0] += v * v;
  }
  scan->open_deviations += (d[0] + d[1]) + (d[2] + d[3]);
  scan->open_squares += (q[0] + q[1]) + (q[2] + q[3]);
  scan->open_count += to - from;
}

void close_block(backward_scan* scan) {
  add_to(&scan->blocks, scan->open_deviations / static_cast<double>(scan->block));
  scan->samples.deviations += scan->open_deviations;
  scan->samples.squares += scan->open_squares;
  scan->samples.count += scan->open_count;
  scan->open_deviations = scan->open_squares = 0;
  scan->open_count = 0;
}

// Moves the scan back to `start`.
void scan_back_to(backward_scan* scan, int64_t start) {
  while (scan->position > start) {
    const int64_t room = scan->block - scan->open_count;
    const int64_t from = scan->position - room > start ? scan->position - room : start;
    add_samples(scan, from, scan->position);
    scan->position = from;
    if (scan->open_count == scan->block) close_block(scan);
  }
}

// The effective samples of the whole blocks after the scan's position,
// s^2 / e_B^2 with the held block size B. Samples and blocks are the same
// ones: samples before the first whole block would count in s^2 and not in
// e_B, and a few wild ones there would raise the figure. The search compares
// candidates with it, and a bias common to the candidates does not move the
// maximum.
double effective_samples(const backward_scan& scan) {
  if (scan.blocks.count < AUTOMATIC_MIN_BLOCKS || scan.samples.count < AUTOMATIC_MIN_SAMPLES) {
    return NOT_A_NUMBER;
  }
  return variance_of_mean(scan.samples) * static_cast<double>(scan.samples.count) /
         variance_of_mean(scan.blocks);
}

// One column's search, writing its effective samples per candidate.
equilibration_column search_column(const double* x, int64_t n, const equilibration_table& table,
                                   double* ess, int32_t stride, const run_hooks* hooks) {
  const int64_t candidates = static_cast<int64_t>(table.candidates.size());
  for (int64_t i = 0; i < candidates; i++) ess[i * stride] = NOT_A_NUMBER;
  equilibration_column column = {0, NOT_A_NUMBER, NOT_A_NUMBER, 0, ESTIMATE_OK};
  const int64_t second_half = n / 2;
  if (second_half < 2) {
    column.reason = ESTIMATE_TOO_FEW;
    return column;
  }
  const column_levels tail = levels_of(x + (n - second_half), second_half);
  const int level_count = static_cast<int>(tail.count.size());
  if (tail.kind != COLUMN_USUAL || level_count < 2) {
    column.reason = estimate_column(second_half, tail.kind, tail.view()).reason;
    return column;
  }
  // The criterion level, where the blocking error has levelled off (past the
  // last level where none has), and at least blocks of 4.
  const int criterion = criterion_level(second_half, level_count, tail.error.data(), 1);
  column.block_size = int64_t{1} << (criterion > 2 ? criterion : 2);
  const double shift =
      lane_sum<1>(x + (n - second_half), second_half, 0.0) / static_cast<double>(second_half);

  backward_scan scan = {};
  scan.x = x;
  scan.shift = shift;
  scan.block = column.block_size;
  scan.position = n;
  int64_t best = -1;
  for (int64_t i = candidates - 1; i >= 0; i--) {
    check_interrupted(hooks);
    scan_back_to(&scan, table.candidates[i]);
    ess[i * stride] = effective_samples(scan);
    // The earliest of equal maxima, since the scan runs backwards.
    if (ess[i * stride] >= (best < 0 ? 0.0 : ess[best * stride])) best = i;
  }
  // Sums that are not finite over the whole column come from a NaN or an
  // infinity in its first half, or from overflow: no start is trusted then.
  if (!std::isfinite(scan.samples.squares + scan.open_squares)) {
    for (int64_t i = 0; i < candidates; i++) ess[i * stride] = NOT_A_NUMBER;
    column.reason = ESTIMATE_TOO_LARGE;
    for (int64_t i = 0; i < n; i++) {
      if (!std::isfinite(x[i])) column.reason = ESTIMATE_NON_FINITE;
    }
    column.block_size = 0;
    return column;
  }
  if (best < 0) {  // no candidate leaves enough blocks
    column.reason = ESTIMATE_TOO_FEW;
    return column;
  }
  // The start is where the best candidate's first whole block begins; the
  // figures there are the automatic estimate's on the rest.
  const int64_t best_start = table.candidates[best];
  column.start = n - (n - best_start) / column.block_size * column.block_size;
  const automatic_estimate rest = estimate_of(x + column.start, n - column.start);
  column.tau = rest.tau;
  column.ess = rest.ess;
  return column;
}

}  // namespace

int64_t equilibration_step(int64_t n) {
  const int64_t step = (n + EQUILIBRATION_CANDIDATES - 1) / EQUILIBRATION_CANDIDATES;
  return step > 1 ? step : 1;
}

equilibration_table search_equilibration(int64_t n, const double* const* columns,
                                         int32_t column_count, const run_hooks* hooks) {
  equilibration_table table;
  table.column_count = column_count;
  const int64_t step = equilibration_step(n);
  for (int64_t start = 0; start < n; start += step) table.candidates.push_back(start);
  table.ess.resize(table.candidates.size() * static_cast<size_t>(column_count));
  for (int32_t c = 0; c < column_count; c++) {
    table.column.push_back(
        search_column(columns[c], n, table, table.ess.data() + c, column_count, hooks));
  }
  return table;
}

int32_t latest_start_column(const equilibration_table& table) {
  int32_t latest = 0;
  for (int32_t c = 1; c < table.column_count; c++) {
    if (table.column[c].start > table.column[latest].start) latest = c;
  }
  return latest;
}
