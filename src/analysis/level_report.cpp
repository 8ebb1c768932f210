#include "analysis/level_report.h"

#include <cstdarg>  // va_list
#include <cstdio>   // snprintf
#include <vector>

#include "support/error.h"  // compose_message_list

namespace {

// Appends printf-formatted text to *text.
__attribute__((format(printf, 2, 3))) void append_format(std::string* text, const char* format,
                                                         ...) {
  va_list arguments;
  va_start(arguments, format);
  text->append(compose_message_list(format, arguments));
  va_end(arguments);
}

}  // namespace

const char* column_label(int32_t column, char* label) {
  snprintf(label, LABEL_SIZE, "col %2d", column);
  return label;
}

namespace {

// The labels "col  0", "col  1", ... of a result's columns.
struct default_labels {
  std::vector<char> block;
  std::vector<const char*> labels;
  explicit default_labels(int32_t columns)
      : block(static_cast<size_t>(columns) * LABEL_SIZE), labels(static_cast<size_t>(columns)) {
    for (int32_t c = 0; c < columns; c++) {
      labels[c] = column_label(c, block.data() + static_cast<size_t>(c) * LABEL_SIZE);
    }
  }
};

}  // namespace

std::string format_report(const blocking_result& result, const char* const* labels) {
  const int32_t columns = result.column_count;
  const default_labels defaults(labels == nullptr ? columns : 0);
  if (labels == nullptr) labels = defaults.labels.data();
  std::string text;
  for (int j = 0; j < result.level_count; j++) {
    const size_t level = static_cast<size_t>(j) * static_cast<size_t>(columns);
    write_averages(&text, j, result.level_values[j], columns, result.mean.data(),
                   result.level_error.data() + level, result.level_correlation.data() + level,
                   result.decision.data(), labels);
  }
  write_summary(&text, result.samples, columns, result.mean.data(), result.final_error.data(),
                result.final_correlation.data(), result.decision.data(), labels);
  return text;
}

void write_averages(std::string* text, int level, int64_t values, int32_t column_count,
                    const double* mean, const double* error, const double* correlation,
                    const column_decision* decision, const char* const* labels) {
  append_format(text, "\nAverages for %li samples:\n\n", static_cast<long>(values));
  for (int32_t c = 0; c < column_count; c++) {
    const bool decided_here = decision[c].decorrelated && decision[c].level == level;
    append_format(text, "%s: %16.10f +/- %16.10f   Corr. coeff.: % f%s\n", labels[c], mean[c],
                  error[c], correlation[c], decided_here ? " <" : "");
  }
}

void write_summary(std::string* text, int64_t n, int32_t column_count, const double* mean,
                   const double* error, const double* correlation, const column_decision* decision,
                   const char* const* labels) {
  append_format(text, "\nSummary of error and correlation analysis (initial sample size %li)\n\n",
                static_cast<long>(n));
  for (int32_t c = 0; c < column_count; c++) {
    append_format(text, "%s: %16.10f +/- %16.10f   (correlation % f with %li samples)%s\n",
                  labels[c], mean[c], error[c], correlation[c],
                  static_cast<long>(decision[c].count),
                  decision[c].decorrelated ? "" : " *** not decorrelated ***");
  }
}

std::string format_automatic(const blocking_result& result, const char* const* labels) {
  const int32_t columns = result.column_count;
  if (result.automatic.empty()) return std::string();
  const default_labels defaults(labels == nullptr ? columns : 0);
  if (labels == nullptr) labels = defaults.labels.data();
  std::string text =
      "\nAutomatic error estimate (the error's uncertainty, block size, tau in samples, "
      "effective samples, verdict)\n\n";
  for (int32_t c = 0; c < columns; c++) {
    const automatic_estimate& estimate = result.automatic[c];
    append_format(
        &text, "%s: %16.10f +/- %16.10f (%5.1f%%)   block %7lld   tau %10.2f   ess %11.1f   %s\n",
        labels[c], result.mean[c], estimate.error, 100 * (estimate.error_error / estimate.error),
        static_cast<long long>(estimate.block_size), estimate.tau, estimate.ess,
        estimate_reason_text(estimate.reason));
  }
  return text;
}
