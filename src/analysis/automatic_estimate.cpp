#include "analysis/automatic_estimate.h"

#include <cmath>  // sqrt, fabs, isfinite, NAN

const char* estimate_reason_text(estimate_reason reason) {
  switch (reason) {
    case ESTIMATE_OK:
      return "ok";
    case ESTIMATE_NON_FINITE:
      return "non-finite samples";
    case ESTIMATE_CONSTANT:
      return "constant column";
    case ESTIMATE_TOO_LARGE:
      return "values too large";
    case ESTIMATE_TOO_FEW:
      return "too few samples";
    case ESTIMATE_NO_PLATEAU:
      return "no plateau";
    case ESTIMATE_TOO_SHORT:
      return "chain too short for its tau";
    case ESTIMATE_TRANSIENT:
      return "start-up transient: use --discard=auto";
  }
  return "?";
}

namespace {

automatic_estimate no_estimate(estimate_reason reason) {
  return {NAN, NAN, 0, NAN, NAN, false, reason};
}

// v(B) of level k: e^2 (1 + 2 r) (m - 1) / (m - 3), the flat-top estimate of
// the variance of the mean.
double flat_top_variance(const pairwise_column& levels, int k) {
  const int64_t at = static_cast<int64_t>(k) * levels.stride;
  const double e = levels.error[at];
  const double m = static_cast<double>(levels.count[k]);
  return ((e * e) * (1.0 + 2.0 * levels.correlation[at])) * ((m - 1.0) / (m - 3.0));
}

// True when the first block of a level with enough blocks of enough samples
// lies AUTOMATIC_TRANSIENT_DEVIATIONS standard deviations off its mean.
bool starts_off_mean(const pairwise_column& levels) {
  for (int k = 1; k < levels.level_count; k++) {
    if ((int64_t{1} << k) < AUTOMATIC_TRANSIENT_BLOCK) continue;
    if (levels.count[k] < AUTOMATIC_TRANSIENT_COUNT) break;
    const double first = levels.shape[static_cast<int64_t>(k) * levels.stride].first_deviation;
    if (fabs(first) > AUTOMATIC_TRANSIENT_DEVIATIONS) return true;
  }
  return false;
}

}  // namespace

automatic_estimate estimate_column(int64_t n, column_kind kind, const pairwise_column& levels) {
  if (kind == COLUMN_NON_FINITE) return no_estimate(ESTIMATE_NON_FINITE);
  if (kind == COLUMN_CONSTANT) return no_estimate(ESTIMATE_CONSTANT);
  if (kind == COLUMN_TOO_LARGE) return no_estimate(ESTIMATE_TOO_LARGE);
  // Level 1 and the one above it, with enough blocks, are the least a
  // window needs.
  if (levels.level_count < 3 || levels.count[2] < AUTOMATIC_PILOT_BLOCKS) {
    return no_estimate(ESTIMATE_TOO_FEW);
  }
  const double e0 = levels.error[0];
  const double e0_squared = e0 * e0;
  int chosen = 0;  // none met the window
  int last = 1;    // the last level whose pilot had enough blocks
  double pilot_tau = NAN;
  for (int k = 1; k + 1 < levels.level_count; k++) {
    if (levels.count[k + 1] < AUTOMATIC_PILOT_BLOCKS) break;
    last = k;
    // tau one level up, and two where that level has the blocks: a slow part
    // of the correlations that one level does not show yet, the next does.
    double variance_up = flat_top_variance(levels, k + 1);
    if (k + 2 < levels.level_count && levels.count[k + 2] >= AUTOMATIC_PILOT_BLOCKS) {
      const double two_up = flat_top_variance(levels, k + 2);
      if (two_up > variance_up) variance_up = two_up;
    }
    pilot_tau = variance_up / e0_squared;
    if (static_cast<double>(int64_t{1} << k) >= AUTOMATIC_WINDOW * pilot_tau) {
      chosen = k;
      break;
    }
  }
  const int k = chosen > 0 ? chosen : last;
  const double variance = flat_top_variance(levels, k);
  const double m = static_cast<double>(levels.count[k]);
  const double kurtosis = levels.shape[static_cast<int64_t>(k) * levels.stride].kurtosis;

  automatic_estimate estimate;
  estimate.error = sqrt(variance > 0 ? variance : 0.0);
  estimate.error_error = estimate.error * (0.5 * sqrt((kurtosis + 3.0) / (m - 1.0)));
  estimate.block_size = int64_t{1} << k;
  // A level whose lag-1 correlation is below -1/2 gives no variance: no tau.
  estimate.tau = variance > 0 ? variance / e0_squared : NAN;
  estimate.ess = static_cast<double>(n) / estimate.tau;
  if (n < AUTOMATIC_MIN_SAMPLES) {
    estimate.reason = ESTIMATE_TOO_FEW;
  } else if (starts_off_mean(levels)) {
    estimate.reason = ESTIMATE_TRANSIENT;
  } else if (chosen == 0 || !(variance > 0)) {
    // Errors that still grow as fast as a random walk's never level off;
    // errors that do, only not within the levels the chain has, ask for a
    // longer chain.
    const bool levelled =
        criterion_level(n, levels.level_count, levels.error, levels.stride) < levels.level_count;
    estimate.reason = levelled && variance > 0 ? ESTIMATE_TOO_SHORT : ESTIMATE_NO_PLATEAU;
  } else if (!(static_cast<double>(n) >= AUTOMATIC_MIN_TAUS * pilot_tau)) {
    estimate.reason = ESTIMATE_TOO_SHORT;
  } else {
    estimate.reason = ESTIMATE_OK;
  }
  estimate.reliable = estimate.reason == ESTIMATE_OK;
  return estimate;
}

int criterion_level(int64_t n, int level_count, const double* error, int32_t stride) {
  const double e0 = error[0];
  const double bound = 2.0 * static_cast<double>(n);
  for (int k = 1; k < level_count; k++) {
    const double b = static_cast<double>(int64_t{1} << k);
    const double ratio = error[static_cast<int64_t>(k) * stride] / e0;
    const double ratio2 = ratio * ratio;
    if (b * b * b > bound * (ratio2 * ratio2)) return k;
  }
  return level_count;
}

column_kind kind_of_column(const double* x, int64_t n, double mean, double e0) {
  if (n < 2) return std::isfinite(x[0]) ? COLUMN_USUAL : COLUMN_NON_FINITE;
  if (!std::isfinite(mean) || !std::isfinite(e0)) {
    for (int64_t i = 0; i < n; i++) {
      if (!std::isfinite(x[i])) return COLUMN_NON_FINITE;
    }
    return COLUMN_TOO_LARGE;
  }
  // Usual columns differ within their first few samples.
  for (int64_t i = 1; i < n; i++) {
    if (x[i] != x[0]) return COLUMN_USUAL;
  }
  return COLUMN_CONSTANT;
}
