// The text of a blocking analysis as the program prints it: the table of
// every level and the summary of the deciding levels, from the result alone.
// Numbers are formatted in the calling thread's locale, which the callers
// keep at C.
#ifndef VARBLOC_ANALYSIS_LEVEL_REPORT_H
#define VARBLOC_ANALYSIS_LEVEL_REPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "analysis/general_error_routines_v3.h"  // blocking_result, column_decision

// Room for one column label, "col %2d" and its terminator.
constexpr size_t LABEL_SIZE = 40;

// Writes the label of a column ("col  0", "col 12", ...) into `label`
// (LABEL_SIZE bytes) and returns it.
const char* column_label(int32_t column, char* label);

// Appends the table of level `level` to *text: "values" samples or blocks per
// column. Rows of columns that decorrelated at this level carry the mark " <".
void write_averages(std::string* text, int level, int64_t values, int32_t column_count,
                    const double* mean, const double* error, const double* correlation,
                    const column_decision* decision, const char* const* labels);

// Appends the summary to *text: each column with the values per column at its
// deciding level, and a mark on columns that never decorrelated.
void write_summary(std::string* text, int64_t n, int32_t column_count, const double* mean,
                   const double* error, const double* correlation, const column_decision* decision,
                   const char* const* labels);

// The level tables and the summary, as the program prints them, with the
// given column labels, or "col  0", "col  1", ... for null.
std::string format_report(const blocking_result& result, const char* const* labels = nullptr);

// The table of the automatic estimates (headed "Automatic error estimate"),
// as --auto prints it after the summary; empty when the result has none.
std::string format_automatic(const blocking_result& result, const char* const* labels = nullptr);

#endif
