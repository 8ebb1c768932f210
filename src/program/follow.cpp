#include "program/follow.h"

#include <cmath>  // fabs
#include <cstdio>

bool targets_met(const blocking_result& result, const follow_targets& targets) {
  if (!targets.error && !targets.relative) return false;
  if (result.automatic.size() != static_cast<size_t>(result.column_count)) return false;
  for (int32_t c = 0; c < result.column_count; c++) {
    const automatic_estimate& estimate = result.automatic[c];
    if (!estimate.reliable) return false;
    // Written so that a NaN error or mean never counts as met.
    if (targets.error && !(estimate.error <= *targets.error)) return false;
    if (targets.relative && !(estimate.error <= *targets.relative * fabs(result.mean[c]))) {
      return false;
    }
  }
  return true;
}

std::string running_lines(const blocking_result& result) {
  std::string lines;
  char label[LABEL_SIZE];
  for (int32_t c = 0; c < result.column_count; c++) {
    const automatic_estimate& estimate = result.automatic[c];
    char line[256];
    snprintf(line, sizeof line,
             "Running %s: %lld samples, mean %.10e +- %.3e, tau %.4g, %.6g effective samples, "
             "%s\n",
             column_label(c, label), static_cast<long long>(result.samples), result.mean[c],
             estimate.error, estimate.tau, estimate.ess, estimate_reason_text(estimate.reason));
    lines += line;
  }
  return lines;
}
