#include "analysis/automatic_estimate.h"

#include <cmath>  // sqrt, NAN

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
  }
  return "?";
}

namespace {

automatic_estimate no_estimate(estimate_reason reason) {
  return {NAN, NAN, 0, NAN, NAN, false, reason};
}

}  // namespace

automatic_estimate estimate_column(int64_t n, column_kind kind, int level_count,
                                   const int64_t* count, const double* error, int32_t stride) {
  if (kind == COLUMN_NON_FINITE) return no_estimate(ESTIMATE_NON_FINITE);
  if (kind == COLUMN_CONSTANT) return no_estimate(ESTIMATE_CONSTANT);
  if (kind == COLUMN_TOO_LARGE) return no_estimate(ESTIMATE_TOO_LARGE);
  if (level_count < 2) return no_estimate(ESTIMATE_TOO_FEW);

  auto error_at = [&](int k) { return error[static_cast<int64_t>(k) * stride]; };
  const double e0 = error_at(0);
  const double bound = 2.0 * static_cast<double>(n);
  int criterion = level_count;  // none met
  for (int k = 1; k < level_count; k++) {
    const double b = static_cast<double>(int64_t{1} << k);
    const double ratio = error_at(k) / e0;
    const double ratio2 = ratio * ratio;
    if (b * b * b > bound * (ratio2 * ratio2)) {
      criterion = k;
      break;
    }
  }
  const int upper = criterion - 1 > 1 ? criterion - 1 : 1;
  const double e_upper = error_at(upper), e_lower = error_at(upper - 1);
  const double extrapolated = 2.0 * (e_upper * e_upper) - e_lower * e_lower;

  automatic_estimate estimate;
  estimate.error = extrapolated > 0 ? sqrt(extrapolated) : e_upper;
  // The extrapolation's spread: 2 e(2B)^2 - e(B)^2 from m and 2m blocks of
  // independent values has the relative variance 5 / m, so the error's is
  // 5 / (4 m); m - 1 as for a single level.
  estimate.error_error = estimate.error * sqrt(1.25 / static_cast<double>(count[upper] - 1));
  estimate.block_size = int64_t{1} << upper;
  const double ratio = estimate.error / e0;
  estimate.tau = ratio * ratio;
  estimate.ess = static_cast<double>(n) / estimate.tau;
  if (n < AUTOMATIC_MIN_SAMPLES) {
    estimate.reason = ESTIMATE_TOO_FEW;
  } else if (criterion == level_count || extrapolated <= 0) {
    estimate.reason = ESTIMATE_NO_PLATEAU;
  } else if (count[upper] < AUTOMATIC_MIN_BLOCKS) {
    estimate.reason = ESTIMATE_TOO_SHORT;
  } else {
    estimate.reason = ESTIMATE_OK;
  }
  estimate.reliable = estimate.reason == ESTIMATE_OK;
  return estimate;
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
