// The standard error of a mean, the one formula that every ladder of levels
// and the equilibration search use.
#ifndef VARBLOC_ANALYSIS_STANDARD_ERROR_H
#define VARBLOC_ANALYSIS_STANDARD_ERROR_H

#include <cmath>
#include <cstdint>

// The standard error of the mean of n >= 2 independent values whose squared
// deviations from their mean add up to `squares`: sqrt(|squares|) /
// sqrt(n (n - 1)), each operation rounded on its own in this order.
inline double standard_error(double squares, int64_t n) {
  const double values = static_cast<double>(n);
  const double pairs = static_cast<double>(n - 1);
  return std::sqrt(std::fabs(squares)) / std::sqrt(values * pairs);
}

#endif
