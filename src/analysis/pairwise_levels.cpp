#include "analysis/pairwise_levels.h"

#include <cmath>    // sqrt, fabs
#include <cstring>  // memcpy

namespace {

// Two lanes side by side; each operation is an ordinary one per lane.
typedef double lane_pair __attribute__((vector_size(2 * sizeof(double))));
typedef long long lane_mask __attribute__((vector_size(2 * sizeof(long long))));

inline lane_pair load_pair(const double* at) {
  lane_pair pair;
  memcpy(&pair, at, sizeof pair);
  return pair;
}

inline void store_pair(double* at, lane_pair pair) {
  memcpy(at, &pair, sizeof pair);
}

// Adds one value to a level's sums, in lane count % 4.
inline void add_value(pairwise_sums* sums, double mean, double value) {
  const double d = value - mean;
  const int lane = static_cast<int>(sums->count & 3);
  if (sums->count == 0) sums->first = d;
  sums->deviations[lane] = sums->deviations[lane] + d;
  sums->squares[lane] = sums->squares[lane] + d * d;
  sums->products[lane] = sums->products[lane] + sums->previous * d;
  sums->previous = d;
  sums->count++;
}

// Adds the m values at v (m a multiple of 4, the level's count one too) and
// writes their pair averages to out[0 .. m / 2), which may be v itself: each
// average is written after the four values it comes from were read. The
// same operations as add_value, two lanes at a time.
void add_values(pairwise_sums* sums, double mean, const double* v, int64_t m, double* out) {
  lane_pair deviations01 = load_pair(sums->deviations),
            deviations23 = load_pair(sums->deviations + 2);
  lane_pair squares01 = load_pair(sums->squares), squares23 = load_pair(sums->squares + 2);
  lane_pair products01 = load_pair(sums->products), products23 = load_pair(sums->products + 2);
  const lane_pair means = {mean, mean}, halves = {0.5, 0.5};
  if (sums->count == 0) sums->first = v[0] - mean;
  double previous = sums->previous;
  for (int64_t j = 0; j < m; j += 4) {
    const lane_pair a = load_pair(v + j), b = load_pair(v + j + 2);
    const lane_pair da = a - means, db = b - means;
    const lane_pair before_a = {previous, da[0]}, before_b = {da[1], db[0]};
    deviations01 = deviations01 + da;
    deviations23 = deviations23 + db;
    squares01 = squares01 + da * da;
    squares23 = squares23 + db * db;
    products01 = products01 + before_a * da;
    products23 = products23 + before_b * db;
    previous = db[1];
    const lane_pair firsts = __builtin_shuffle(a, b, lane_mask{0, 2});
    const lane_pair seconds = __builtin_shuffle(a, b, lane_mask{1, 3});
    store_pair(out + j / 2, (firsts + seconds) * halves);
  }
  store_pair(sums->deviations, deviations01);
  store_pair(sums->deviations + 2, deviations23);
  store_pair(sums->squares, squares01);
  store_pair(sums->squares + 2, squares23);
  store_pair(sums->products, products01);
  store_pair(sums->products + 2, products23);
  sums->previous = previous;
  sums->count += m;
}

inline double pair_average(double first, double second) {
  return (first + second) * 0.5;
}

// Adds a value to level k and, when it completes a pair, the pair's
// average to level k + 1, and so on up.
void push_value(pairwise_pass* pass, int k, double value) {
  for (; k <= PAIRWISE_MAX_LEVELS; k++) {
    add_value(&pass->level[k], pass->mean, value);
    if (!pass->has_waiting[k]) {
      pass->waiting[k] = value;
      pass->has_waiting[k] = true;
      return;
    }
    pass->has_waiting[k] = false;
    value = pair_average(pass->waiting[k], value);
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
  double values[PAIRWISE_CHUNK / 2];
  const lane_pair halves = {0.5, 0.5};
  for (int64_t j = 0; j < PAIRWISE_CHUNK; j += 4) {
    const lane_pair a = load_pair(x + j), b = load_pair(x + j + 2);
    const lane_pair firsts = __builtin_shuffle(a, b, lane_mask{0, 2});
    const lane_pair seconds = __builtin_shuffle(a, b, lane_mask{1, 3});
    store_pair(values + j / 2, (firsts + seconds) * halves);
  }
  int k = 1;
  int64_t m = PAIRWISE_CHUNK / 2;
  for (; m >= 4; k++, m /= 2) add_values(&pass->level[k], pass->mean, values, m, values);
  // The last two levels of the chunk, and the ones past it, pair value by value.
  for (int64_t j = 0; j < m; j++) push_value(pass, k, values[j]);
}

void pairwise_add_tail(pairwise_pass* pass, const double* x, int64_t count) {
  double values[PAIRWISE_CHUNK / 2];
  int64_t m = count / 2;
  for (int64_t j = 0; j < m; j++) values[j] = pair_average(x[2 * j], x[2 * j + 1]);
  for (int k = 1; m > 0; k++, m /= 2) {
    for (int64_t j = 0; j < m; j++) add_value(&pass->level[k], pass->mean, values[j]);
    for (int64_t j = 0; j < m / 2; j++) values[j] = pair_average(values[2 * j], values[2 * j + 1]);
  }
}

int pairwise_level_count(int64_t n) {
  int levels = 1;
  while (levels <= PAIRWISE_MAX_LEVELS && (n >> levels) >= 2) levels++;
  return levels;
}

void pairwise_finish(const pairwise_pass* pass, int k, double* error, double* correlation) {
  const pairwise_sums& sums = pass->level[k];
  const double values = static_cast<double>(sums.count);
  const double pairs = static_cast<double>(sums.count - 1);
  const double deviations = lane_total(sums.deviations);
  // The level's own mean lies off the column's where odd values were
  // dropped: the sums are taken about it, shift = (its mean) - (column mean).
  const double shift = deviations / values;
  const double squares = lane_total(sums.squares) - deviations * shift;
  const double ends = (deviations - sums.previous) + (deviations - sums.first);
  const double products = (lane_total(sums.products) - shift * ends) + (pairs * shift) * shift;
  *error = sqrt(fabs(squares)) / sqrt(values * pairs);
  *correlation = squares == 0 ? 1.0 : (products * values) / (squares * pairs);
}

double error_uncertainty(double error, int64_t count) {
  return error / sqrt(2.0 * static_cast<double>(count - 1));
}
