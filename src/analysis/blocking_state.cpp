#include "analysis/blocking_state.h"

#include <cmath>        // isfinite
#include <type_traits>  // is_trivially_copyable
#include <vector>

// Its bytes are the whole state (blocking_state.h).
static_assert(std::is_trivially_copyable<column_state>::value, "a state must copy as bytes");

namespace {

// Samples made into one piece's state before it is merged: a piece's levels
// stay in the cache, and its buffers on the stack.
constexpr int64_t PIECE = PAIRWISE_CHUNK;

int64_t fixed_block(int j) {
  return j == 0 ? 1 : BLOCK_SIZES[j - 1];
}

// The fixed ladder's blocks grow by 5 or 2 from level to level, the groups
// next_level forms.
constexpr bool fixed_ladder_steps() {
  for (int j = 1; j < STATE_FIXED_LEVELS; j++) {
    const int64_t below = j == 1 ? 1 : BLOCK_SIZES[j - 2];
    if (BLOCK_SIZES[j - 1] != 5 * below && BLOCK_SIZES[j - 1] != 2 * below) return false;
  }
  return true;
}
static_assert(fixed_ladder_steps(), "each block size must be 2 or 5 times the one before");

int64_t pairwise_block(int k) {
  return int64_t{1} << k;
}

// The first block start at or after sample o for blocks of b samples.
int64_t first_boundary(int64_t o, int64_t b) {
  return o % b == 0 ? o : o - o % b + b;
}

// True when a block start lies inside the segment [o, o + n): the head ends
// there. Otherwise the whole segment is head.
bool reaches_block(int64_t o, int64_t n, int64_t b) {
  return first_boundary(o, b) < o + n;
}

// Samples in the head and in the tail of a level of block size b.
int64_t head_length(int64_t o, int64_t n, int64_t b) {
  return reaches_block(o, n, b) ? first_boundary(o, b) - o : n;
}

int64_t tail_length(int64_t o, int64_t n, int64_t b) {
  return reaches_block(o, n, b) ? (o + n) % b : 0;
}

// lag products about mu moved to the mean c = mu - e (see blocking_state.h).
double products_about(const level_moments& m, double e) {
  const double ends = (m.first - m.mean) + (m.last - m.mean);
  return (m.products - e * ends) + (static_cast<double>(m.count - 1) * e) * e;
}

// Appends the run of blocks b to the run a: the pairwise update of the mean
// and the central sums, and the lag product across the joint.
void concat(level_moments* a, const level_moments& b) {
  if (b.count == 0) return;
  if (a->count == 0) {
    *a = b;
    return;
  }
  const double na = static_cast<double>(a->count), nb = static_cast<double>(b.count);
  const double n = na + nb;
  const double delta = b.mean - a->mean;
  const double mean = a->mean + delta * (nb / n);
  const double products = (products_about(*a, a->mean - mean) + products_about(b, b.mean - mean)) +
                          (a->last - mean) * (b.first - mean);
  // M2 = M2a + M2b + d^2 na nb / n
  // M3 = M3a + M3b + d^3 na nb (na - nb) / n^2 + 3 d (na M2b - nb M2a) / n
  // M4 = M4a + M4b + d^4 na nb (na^2 - na nb + nb^2) / n^3
  //      + 6 d^2 (na^2 M2b + nb^2 M2a) / n^2 + 4 d (na M3b - nb M3a) / n
  const double d2 = delta * delta;
  const double weight = na * nb / n;
  const double squares = (a->squares + b.squares) + d2 * weight;
  const double cubes = ((a->cubes + b.cubes) + (d2 * delta) * (weight * ((na - nb) / n))) +
                       3.0 * delta * ((na * b.squares - nb * a->squares) / n);
  const double fourths = (((a->fourths + b.fourths) +
                           (d2 * d2) * (weight * ((na * na - na * nb + nb * nb) / (n * n)))) +
                          6.0 * d2 * ((na * na * b.squares + nb * nb * a->squares) / (n * n))) +
                         4.0 * delta * ((na * b.cubes - nb * a->cubes) / n);
  a->count += b.count;
  a->mean = mean;
  a->squares = squares;
  a->cubes = cubes;
  a->fourths = fourths;
  a->products = products;
  a->last = b.last;
}

void append_block(level_moments* blocks, double value) {
  concat(blocks, level_moments{1, value, 0, 0, 0, 0, value, value});
}

// The run of the m >= 1 values at v: their mean, then the central sums,
// each in four lanes (four chains of additions side by side); the 3rd and
// 4th powers only when HIGHER.
//
// With `raw`, the values' raw samples, it also carries *raw_sum on by them
// one after the other: that chain of additions runs beside the others here,
// where the loop's own work hides most of its latency.
template <bool HIGHER>
level_moments moments_of(const double* v, int64_t m, const double* raw = nullptr,
                         double* raw_sum = nullptr) {
  double lanes[4] = {0, 0, 0, 0};
  int64_t i = 0;
  for (; i + 4 <= m; i += 4) {
    for (int l = 0; l < 4; l++) lanes[l] += v[i + l];
  }
  for (; i < m; i++) lanes[0] += v[i];
  const double mean = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) / static_cast<double>(m);
  const double e0 = v[0] - mean;
  double squares[4] = {e0 * e0, 0, 0, 0}, cubes[4] = {e0 * e0 * e0, 0, 0, 0};
  double fourths[4] = {(e0 * e0) * (e0 * e0), 0, 0, 0}, products[4] = {0, 0, 0, 0};
  double sum = raw ? *raw_sum + raw[0] : 0;
  i = 1;
  for (; i + 4 <= m; i += 4) {
    for (int l = 0; l < 4; l++) {
      const double e = v[i + l] - mean, before = v[i + l - 1] - mean;
      const double e2 = e * e;
      squares[l] += e2;
      if (HIGHER) {
        cubes[l] += e2 * e;
        fourths[l] += e2 * e2;
      }
      products[l] += before * e;
      if (raw) sum = sum + raw[i + l];
    }
  }
  for (; i < m; i++) {
    if (raw) sum = sum + raw[i];
    const double e = v[i] - mean, before = v[i - 1] - mean;
    const double e2 = e * e;
    squares[0] += e2;
    cubes[0] += e2 * e;
    fourths[0] += e2 * e2;
    products[0] += before * e;
  }
  if (raw) *raw_sum = sum;
  auto total = [](const double* s) { return (s[0] + s[1]) + (s[2] + s[3]); };
  return {m,
          mean,
          total(squares),
          HIGHER ? total(cubes) : 0,
          HIGHER ? total(fourths) : 0,
          total(products),
          v[0],
          v[m - 1]};
}

// The run of the block means from that of the block sums: every power
// divided by the block size's.
level_moments means_of_sums(level_moments sums, int64_t block) {
  const double b = static_cast<double>(block), b2 = b * b;
  sums.mean = sums.mean / b;
  sums.squares = sums.squares / b2;
  sums.cubes = sums.cubes / (b2 * b);
  sums.fourths = sums.fourths / (b2 * b2);
  sums.products = sums.products / b2;
  sums.first = sums.first / b;
  sums.last = sums.last / b;
  return sums;
}

// One level of a piece being formed: the sums of x - K of its complete blocks
// (count of them at `sums`), of its head and of its tail.
struct piece_level {
  double* sums;
  int64_t count;
  double head;
  double tail;
};

// The level of block size `block` = GROUP `below` from the level below it
// (block size `below`) of the piece [o, o + n): the groups of the lower
// level's blocks that make whole blocks, their sums written to `out` (which
// may be the lower level's sums: group g is read before sum g is written),
// the lower blocks before the first boundary added to the head and those
// after the last to the tail.
template <int64_t GROUP>
piece_level next_level(piece_level lower, int64_t o, int64_t n, int64_t below, double* out) {
  const int64_t block = GROUP * below;
  piece_level upper = {out, 0, lower.head, 0};
  if (!reaches_block(o, n, block)) {
    for (int64_t i = 0; i < lower.count; i++) upper.head += lower.sums[i];
    upper.head += lower.tail;
    return upper;
  }
  const int64_t before = (first_boundary(o, block) - first_boundary(o, below)) / below;
  for (int64_t i = 0; i < before; i++) upper.head += lower.sums[i];
  upper.count = (lower.count - before) / GROUP;
  const double* from = lower.sums + before;
  for (int64_t g = 0; g < upper.count; g++) {
    double sum = from[g * GROUP];
    for (int64_t t = 1; t < GROUP; t++) sum += from[g * GROUP + t];
    out[g] = sum;
  }
  for (int64_t i = before + upper.count * GROUP; i < lower.count; i++) upper.tail += lower.sums[i];
  upper.tail += lower.tail;
  return upper;
}

// The level's state from the piece's: the block means' run, head and tail.
template <bool HIGHER>
void store_level(level_state* state, const piece_level& level, int64_t block) {
  state->head = level.head;
  state->tail = level.tail;
  state->blocks = level_moments{};
  if (level.count > 0) {
    state->blocks = means_of_sums(moments_of<HIGHER>(level.sums, level.count), block);
  }
}

// The state of the n <= PIECE samples at x, the chain's samples from o on,
// with the sums around `shift`; its raw sum carries on from `sum_before`,
// the samples added one after the other.
void piece_state(column_state* piece, const double* x, int64_t n, int64_t o, double shift,
                 double sum_before) {
  double deviations[PIECE], fixed[PIECE / 5 + 1], pairwise[PIECE / 2 + 1];
  state_start(piece, o);
  piece->count = n;
  piece->shift = shift;
  piece->first_sample = x[0];
  // x - x is 0 for finite x and NaN otherwise; the lanes' sums tell.
  double finite[2] = {0, 0};
  int64_t differing[2] = {0, 0};
  int64_t i = 0;
  for (; i + 2 <= n; i += 2) {
    for (int l = 0; l < 2; l++) {
      deviations[i + l] = x[i + l] - shift;
      finite[l] += x[i + l] - x[i + l];
      differing[l] += x[i + l] != x[0];
    }
  }
  for (; i < n; i++) {
    deviations[i] = x[i] - shift;
    finite[0] += x[i] - x[i];
    differing[0] += x[i] != x[0];
  }
  piece->non_finite = !(finite[0] + finite[1] == 0);
  piece->varied = differing[0] + differing[1] != 0;
  piece->sum = sum_before;
  piece->fixed[0].blocks = moments_of<false>(deviations, n, x, &piece->sum);
  // The samples are level 0's blocks in both ladders.
  const piece_level samples = {deviations, n, 0, 0};
  piece_level level = next_level<5>(samples, o, n, 1, fixed);
  store_level<false>(&piece->fixed[1], level, 5);
  for (int j = 2; j < STATE_FIXED_LEVELS; j++) {
    const int64_t below = fixed_block(j - 1);
    level = fixed_block(j) == 2 * below ? next_level<2>(level, o, n, below, fixed)
                                        : next_level<5>(level, o, n, below, fixed);
    store_level<false>(&piece->fixed[j], level, fixed_block(j));
  }
  level = next_level<2>(samples, o, n, 1, pairwise);
  store_level<true>(&piece->pairwise[1], level, 2);
  for (int k = 2; k < PAIRWISE_MAX_LEVELS; k++) {
    level = next_level<2>(level, o, n, pairwise_block(k - 1), pairwise);
    store_level<true>(&piece->pairwise[k], level, pairwise_block(k));
  }
}

// Moves a level's sums to another shift: every value around the shift
// (sample or block mean) grows by `change`, the old shift less the new.
void reshift_level(level_state* level, double change, int64_t o, int64_t n, int64_t block) {
  level->head += static_cast<double>(head_length(o, n, block)) * change;
  level->tail += static_cast<double>(tail_length(o, n, block)) * change;
  if (level->blocks.count == 0) return;
  level->blocks.mean += change;
  level->blocks.first += change;
  level->blocks.last += change;
}

void reshift(column_state* state, double shift) {
  const double change = state->shift - shift;
  state->shift = shift;
  for (int j = 0; j < STATE_FIXED_LEVELS; j++) {
    reshift_level(&state->fixed[j], change, state->offset, state->count, fixed_block(j));
  }
  for (int k = 1; k < PAIRWISE_MAX_LEVELS; k++) {
    reshift_level(&state->pairwise[k], change, state->offset, state->count, pairwise_block(k));
  }
}

// Joins the level of the right segment (n_right samples) to that of the left
// one ([o, o + n_left)), both non-empty and around the same shift.
void merge_level(level_state* left, const level_state& right, int64_t o, int64_t n_left,
                 int64_t n_right, int64_t block) {
  const int64_t joint = o + n_left, end = joint + n_right;
  const bool left_all_head = !reaches_block(o, n_left, block);
  const bool right_all_head = !reaches_block(joint, n_right, block);
  double& left_open = left_all_head ? left->head : left->tail;
  if (right_all_head) {
    // The right side only extends the piece the left one ends with; it is a
    // block once it reaches a boundary from one.
    const double piece = left_open + right.head;
    if (!left_all_head && end % block == 0) {
      append_block(&left->blocks, piece / static_cast<double>(block));
      left->tail = 0;
    } else {
      left_open = piece;
    }
    return;
  }
  if (left_all_head) {
    left->head = left->head + right.head;
    left->blocks = right.blocks;
  } else {
    if (joint % block != 0) {
      append_block(&left->blocks, (left->tail + right.head) / static_cast<double>(block));
    }
    concat(&left->blocks, right.blocks);
  }
  left->tail = right.tail;
}

}  // namespace

void state_start(column_state* state, int64_t offset) {
  *state = column_state{};
  state->offset = offset;
}

void state_merge(column_state* left, const column_state& right) {
  if (right.count == 0) return;
  if (left->count == 0) {
    *left = right;
    return;
  }
  const column_state* from = &right;
  column_state moved;
  if (right.shift != left->shift) {
    moved = right;
    reshift(&moved, left->shift);
    from = &moved;
  }
  const int64_t o = left->offset, n_left = left->count, n_right = right.count;
  for (int j = 0; j < STATE_FIXED_LEVELS; j++) {
    merge_level(&left->fixed[j], from->fixed[j], o, n_left, n_right, fixed_block(j));
  }
  for (int k = 1; k < PAIRWISE_MAX_LEVELS; k++) {
    merge_level(&left->pairwise[k], from->pairwise[k], o, n_left, n_right, pairwise_block(k));
  }
  left->count += n_right;
  left->sum = left->sum + right.sum;
  left->non_finite = left->non_finite || right.non_finite;
  left->varied = left->varied || right.varied || !(right.first_sample == left->first_sample);
}

void state_add(column_state* state, const double* x, int64_t count) {
  if (count <= 0) return;
  if (state->count == 0) state->shift = x[0];
  column_state piece;
  for (int64_t at = 0; at < count; at += PIECE) {
    const int64_t n = count - at < PIECE ? count - at : PIECE;
    piece_state(&piece, x + at, n, state->offset + state->count, state->shift, state->sum);
    state_merge(state, piece);
    state->sum = piece.sum;  // carried on from the state's, not added to it
  }
}

blocking_result state_result(const column_state* states, int32_t column_count) {
  const int64_t n = states[0].count;
  blocking_result result = plan_result(n, column_count, true);
  const size_t columns = static_cast<size_t>(column_count);
  pairwise_table& table = result.pairwise;
  std::vector<column_kind> kinds(columns);
  for (int32_t c = 0; c < column_count; c++) {
    const column_state& state = states[c];
    const level_moments& samples = state.fixed[0].blocks;
    // The mean printed is the in-memory analysis's: the raw sum over n, which
    // overflows where that of the samples in memory does. The figures are
    // taken about the state's own mean, which keeps the digits a large
    // offset takes from the raw sum.
    result.mean[c] = state.sum / static_cast<double>(n);
    const double mean = samples.mean;
    // Each fixed level's sums about the column's mean, as the in-memory
    // analysis forms them.
    for (int j = 0; j < result.level_count; j++) {
      const level_moments& level = state.fixed[j].blocks;
      const double e = level.mean - mean;
      const double squares = level.squares + (static_cast<double>(level.count) * e) * e;
      const size_t at = static_cast<size_t>(j) * columns + c;
      lag1_figures(squares, products_about(level, e), level.count, &result.level_error[at],
                   &result.level_correlation[at]);
    }
    for (int k = 1; k < table.level_count; k++) {
      const level_moments& level = state.pairwise[k].blocks;
      // The squares and fourth powers moved from the level's own mean to the
      // column's, e = (level's mean) - (column's): sum (x + e)^4 over values
      // x about their own mean, whose sum is 0.
      const double e = level.mean - mean;
      const double values = static_cast<double>(level.count);
      const double e2 = e * e;
      pairwise_central_sums sums;
      sums.count = level.count;
      sums.squares = level.squares;
      sums.products = level.products;
      sums.first = level.first - level.mean;
      sums.column_squares = level.squares + (values * e) * e;
      sums.column_fourths =
          ((level.fourths + 4.0 * e * level.cubes) + 6.0 * e2 * level.squares) + (values * e2) * e2;
      const size_t at = static_cast<size_t>(k) * columns + c;
      pairwise_figures(sums, &table.error[at], &table.correlation[at], &table.shape[at]);
    }
    // As kind_of_column tells it from the samples.
    const double e0 = result.level_error[c];
    if (n < 2) {
      kinds[c] = state.non_finite ? COLUMN_NON_FINITE : COLUMN_USUAL;
    } else if (!std::isfinite(result.mean[c]) || !std::isfinite(e0)) {
      kinds[c] = state.non_finite ? COLUMN_NON_FINITE : COLUMN_TOO_LARGE;
    } else {
      kinds[c] = state.varied ? COLUMN_USUAL : COLUMN_CONSTANT;
    }
  }
  decide_columns(&result);
  estimate_columns(&result, kinds.data());
  return result;
}
