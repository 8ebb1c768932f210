// A result written out: the JSON of a blocking analysis (and of the
// equilibration search before it), the one layout that the program's --json
// record and the Python module's to_json give; and the figures derived from
// a result that both front ends show.
#ifndef VARBLOC_ANALYSIS_RESULT_JSON_H
#define VARBLOC_ANALYSIS_RESULT_JSON_H

#include <string>
#include <vector>

#include "analysis/equilibration.h"              // equilibration_table
#include "analysis/general_error_routines_v3.h"  // blocking_result

// The result as one JSON object, without indent or newline:
//   {"columns": [{"label", "mean", "error", "correlation", "decorrelated",
//                 "level", "count", "automatic": {...}?, "equilibration": {...}?}],
//    "levels": {"block_sizes", "counts", "errors", "correlations"},
//    "pairwise_levels": {...}?}
// "automatic" and "pairwise_levels" where the result has the automatic
// estimate, "equilibration" (start, tau, ess) where `equilibration` is given.
// Every double as the shortest text that reads back to it, NaN and the
// infinities as null. May throw std::bad_alloc.
std::string result_json(const blocking_result& result, const equilibration_table* equilibration);

// The columns' labels, "col  0", "col  1", ..., as the report and the JSON
// give them.
std::vector<std::string> column_labels(int32_t column_count);

// The uncertainty of every fixed level's error, per level and column as
// level_error: error / sqrt(2 (count - 1)), NaN for a level of one value.
std::vector<double> level_error_errors(const blocking_result& result);

#endif
