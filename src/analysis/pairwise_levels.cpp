#include "analysis/pairwise_levels.h"

#include <cmath>    // sqrt, fabs
#include <cstring>  // memcpy

#include "analysis/standard_error.h"

namespace {

// Two lanes side by side; each operation is an ordinary one per lane.
typedef double lane_pair __attribute__((vector_size(2 * sizeof(double))));

inline lane_pair load_pair(const double* at) {
  lane_pair pair;
  memcpy(&pair, at, sizeof pair);
  return pair;
}

inline void store_pair(double* at, lane_pair pair) {
  memcpy(at, &pair, sizeof pair);
}

// The pair averages of four values held in two pairs: (a0 + a1) / 2 and
// (b0 + b1) / 2, with one shuffle each way.
inline lane_pair pair_averages(lane_pair a, lane_pair b) {
  const lane_pair halves = {0.5, 0.5};
  const lane_pair firsts = __builtin_shufflevector(a, b, 0, 2);
  const lane_pair seconds = __builtin_shufflevector(a, b, 1, 3);
  return (firsts + seconds) * halves;
}

// Adds one deviation to a level's sums, in lane count % 4.
inline void add_value(pairwise_sums* sums, double d) {
  const int lane = static_cast<int>(sums->count & 3);
  if (sums->count == 0) sums->first = d;
  sums->deviations[lane] = sums->deviations[lane] + d;
  const double square = d * d;
  sums->squares[lane] = sums->squares[lane] + square;
  sums->fourths[lane] = sums->fourths[lane] + square * square;
  sums->products[lane] = sums->products[lane] + sums->previous * d;
  sums->previous = d;
  sums->count++;
}

inline double pair_average(double first, double second) {
  return (first + second) * 0.5;
}

// The deviation of the first level's value from two samples.
inline double first_level_value(double first, double second, double mean) {
  return pair_average(first, second) - mean;
}

// Adds the m deviations at d[0 .. m) (m a multiple of 4, the level's count
// one too; d[-1] holds the level's previous deviation) and writes their pair
// averages to out[0 .. m / 2). The same operations as add_value, two lanes
// at a time.
void add_values(pairwise_sums* sums, const double* d, int64_t m, double* out) {
  lane_pair deviations01 = load_pair(sums->deviations),
            deviations23 = load_pair(sums->deviations + 2);
  lane_pair squares01 = load_pair(sums->squares), squares23 = load_pair(sums->squares + 2);
  lane_pair fourths01 = load_pair(sums->fourths), fourths23 = load_pair(sums->fourths + 2);
  lane_pair products01 = load_pair(sums->products), products23 = load_pair(sums->products + 2);
  if (sums->count == 0) sums->first = d[0];
  for (int64_t j = 0; j < m; j += 4) {
    const lane_pair a = load_pair(d + j), b = load_pair(d + j + 2);
    const lane_pair before_a = load_pair(d + j - 1), before_b = load_pair(d + j + 1);
    deviations01 = deviations01 + a;
    deviations23 = deviations23 + b;
    const lane_pair a2 = a * a, b2 = b * b;
    squares01 = squares01 + a2;
    squares23 = squares23 + b2;
    fourths01 = fourths01 + a2 * a2;
    fourths23 = fourths23 + b2 * b2;
    products01 = products01 + before_a * a;
    products23 = products23 + before_b * b;
    store_pair(out + j / 2, pair_averages(a, b));
  }
  store_pair(sums->deviations, deviations01);
  store_pair(sums->deviations + 2, deviations23);
  store_pair(sums->squares, squares01);
  store_pair(sums->squares + 2, squares23);
  store_pair(sums->fourths, fourths01);
  store_pair(sums->fourths + 2, fourths23);
  store_pair(sums->products, products01);
  store_pair(sums->products + 2, products23);
  sums->previous = d[m - 1];
  sums->count += m;
}

// Adds a deviation to level k and, when it completes a pair, the pair's
// average to level k + 1, and so on up.
void push_value(pairwise_pass* pass, int k, double d) {
  for (; k <= PAIRWISE_MAX_LEVELS; k++) {
    add_value(&pass->level[k], d);
    if (!pass->has_waiting[k]) {
      pass->waiting[k] = d;
      pass->has_waiting[k] = true;
      return;
    }
    pass->has_waiting[k] = false;
    d = pair_average(pass->waiting[k], d);
  }
}

inline double lane_total(const double* lanes) {
  return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}

}  // namespace

void pairwise_start(pairwise_pass* pass, double mean) {
  pass->mean = mean;
  for (int k = 0; k <= PAIRWISE_MAX_LEVELS; k++) {
    pass->level[k] = pairwise_sums{};
    pass->has_waiting[k] = false;
  }
}

void pairwise_add_chunk(pairwise_pass* pass, const double* x) {
  // Two buffers in turn, each with room before its values for the level's
  // previous deviation.
  double buffers[2][PAIRWISE_CHUNK / 2 + 2];
  double* d = buffers[0] + 2;
  const lane_pair means = {pass->mean, pass->mean};
  for (int64_t j = 0; j < PAIRWISE_CHUNK; j += 4) {
    const lane_pair a = load_pair(x + j), b = load_pair(x + j + 2);
    store_pair(d + j / 2, pair_averages(a, b) - means);
  }
  int k = 1;
  int64_t m = PAIRWISE_CHUNK / 2;
  for (; m >= 4; k++, m /= 2) {
    double* next = (d == buffers[0] + 2 ? buffers[1] : buffers[0]) + 2;
    d[-1] = pass->level[k].previous;
    add_values(&pass->level[k], d, m, next);
    d = next;
  }
  // The last two levels of the chunk, and the ones past it, pair value by value.
  for (int64_t j = 0; j < m; j++) push_value(pass, k, d[j]);
}

void pairwise_add_tail(pairwise_pass* pass, const double* x, int64_t count) {
  double d[PAIRWISE_CHUNK / 2];
  int64_t m = count / 2;
  for (int64_t j = 0; j < m; j++) d[j] = first_level_value(x[2 * j], x[2 * j + 1], pass->mean);
  for (int k = 1; m > 0; k++, m /= 2) {
    for (int64_t j = 0; j < m; j++) add_value(&pass->level[k], d[j]);
    for (int64_t j = 0; j < m / 2; j++) d[j] = pair_average(d[2 * j], d[2 * j + 1]);
  }
}

int pairwise_level_count(int64_t n) {
  int levels = 1;
  while (levels <= PAIRWISE_MAX_LEVELS && (n >> levels) >= 2) levels++;
  return levels;
}

void pairwise_finish(const pairwise_pass* pass, int k, double* error, double* correlation,
                     pairwise_shape* shape) {
  const pairwise_sums& sums = pass->level[k];
  const double values = static_cast<double>(sums.count);
  const double pairs = static_cast<double>(sums.count - 1);
  const double deviations = lane_total(sums.deviations);
  // The level's own mean lies off the column's where odd values were
  // dropped: the sums are taken about it, shift = (its mean) - (column mean).
  const double shift = deviations / values;
  pairwise_central_sums central;
  central.count = sums.count;
  central.squares = lane_total(sums.squares) - deviations * shift;
  const double ends = (deviations - sums.previous) + (deviations - sums.first);
  central.products = (lane_total(sums.products) - shift * ends) + (pairs * shift) * shift;
  // The kurtosis is taken about the column's mean, which the level's own lies
  // within a dropped value or so of: a state that keeps its sums about
  // another shift can move them there exactly.
  central.column_squares = lane_total(sums.squares);
  central.column_fourths = lane_total(sums.fourths);
  central.first = sums.first - shift;
  pairwise_figures(central, error, correlation, shape);
}

void pairwise_figures(const pairwise_central_sums& sums, double* error, double* correlation,
                      pairwise_shape* shape) {
  const double values = static_cast<double>(sums.count);
  const double pairs = static_cast<double>(sums.count - 1);
  *error = standard_error(sums.squares, sums.count);
  *correlation = sums.squares == 0 ? 1.0 : (sums.products * values) / (sums.squares * pairs);
  const double around_mean = sums.column_squares / values;
  shape->kurtosis = (sums.column_fourths / values) / (around_mean * around_mean);
  shape->first_deviation = sums.first / sqrt(sums.squares / values);
}

double error_uncertainty(double error, int64_t count) {
  return error / sqrt(2.0 * static_cast<double>(count - 1));
}
