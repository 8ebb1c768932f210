#include "analysis/result_json.h"

#include <cmath>              // NAN
#include <nlohmann/json.hpp>  // Debian nlohmann-json3-dev

#include "analysis/automatic_estimate.h"  // estimate_reason_text
#include "analysis/level_report.h"        // column_label
#include "analysis/pairwise_levels.h"     // error_uncertainty

namespace {

// Keys stay in the order they are set.
using json = nlohmann::ordered_json;

// A per-level table, level_count rows of column_count values, as a list of
// lists.
json rows_of(const std::vector<double>& values, int level_count, int32_t column_count) {
  json rows = json::array();
  for (int k = 0; k < level_count; k++) {
    const auto row = values.begin() + static_cast<ptrdiff_t>(k) * column_count;
    rows.push_back(std::vector<double>(row, row + column_count));
  }
  return rows;
}

// A ladder of levels, fixed or pairwise: its block sizes, counts, and the
// errors and correlations per level and column.
json ladder_of(std::vector<int64_t> block_sizes, std::vector<int64_t> counts,
               const std::vector<double>& errors, const std::vector<double>& correlations,
               int32_t column_count) {
  const int level_count = static_cast<int>(block_sizes.size());
  json levels;
  levels["block_sizes"] = std::move(block_sizes);
  levels["counts"] = std::move(counts);
  levels["errors"] = rows_of(errors, level_count, column_count);
  levels["correlations"] = rows_of(correlations, level_count, column_count);
  return levels;
}

json column_of(const blocking_result& result, const equilibration_table* equilibration, int32_t c) {
  char label[LABEL_SIZE];
  const column_decision& decision = result.decision[c];
  json entry;
  entry["label"] = column_label(c, label);
  entry["mean"] = result.mean[c];
  entry["error"] = result.final_error[c];
  entry["correlation"] = result.final_correlation[c];
  entry["decorrelated"] = decision.decorrelated;
  entry["level"] = decision.level;
  entry["count"] = decision.count;
  if (!result.automatic.empty()) {
    const automatic_estimate& e = result.automatic[c];
    json estimate;
    estimate["error"] = e.error;
    estimate["error_error"] = e.error_error;
    estimate["block_size"] = e.block_size;
    estimate["tau"] = e.tau;
    estimate["ess"] = e.ess;
    estimate["reliable"] = e.reliable;
    estimate["reason"] = estimate_reason_text(e.reason);
    entry["automatic"] = std::move(estimate);
  }
  if (equilibration != nullptr) {
    const equilibration_column& e = equilibration->column[c];
    json start;
    start["start"] = e.start;
    start["tau"] = e.tau;
    start["ess"] = e.ess;
    entry["equilibration"] = std::move(start);
  }
  return entry;
}

}  // namespace

std::string result_json(const blocking_result& result, const equilibration_table* equilibration) {
  const int32_t columns = result.column_count;
  // An object's keys and values stand in one vector, which copies every
  // value, the column list too, each time it grows: room for the three first.
  json text = json::object();
  text.get_ref<json::object_t&>().reserve(3);
  text["columns"] = json::array();
  for (int32_t c = 0; c < columns; c++) {
    text["columns"].push_back(column_of(result, equilibration, c));
  }
  text["levels"] =
      ladder_of(std::vector<int64_t>(result.block_size, result.block_size + result.level_count),
                std::vector<int64_t>(result.level_values, result.level_values + result.level_count),
                result.level_error, result.level_correlation, columns);
  if (!result.automatic.empty()) {
    const pairwise_table& pairwise = result.pairwise;
    text["pairwise_levels"] = ladder_of(pairwise.block_size, pairwise.count, pairwise.error,
                                        pairwise.correlation, columns);
  }
  // No indent: one line. The library writes each double as the shortest text
  // that reads back to it, and NaN and infinities as null.
  return text.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::vector<std::string> column_labels(int32_t column_count) {
  std::vector<std::string> labels;
  char label[LABEL_SIZE];
  for (int32_t c = 0; c < column_count; c++) labels.emplace_back(column_label(c, label));
  return labels;
}

std::vector<double> level_error_errors(const blocking_result& result) {
  std::vector<double> uncertainty(result.level_error.size());
  for (int k = 0; k < result.level_count; k++) {
    for (int32_t c = 0; c < result.column_count; c++) {
      const size_t at = static_cast<size_t>(k) * static_cast<size_t>(result.column_count) + c;
      const int64_t count = result.level_values[k];
      uncertainty[at] = count > 1 ? error_uncertainty(result.level_error[at], count) : NAN;
    }
  }
  return uncertainty;
}
