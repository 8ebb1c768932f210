// The analysis file: one line per run, the mean and final error of every
// column, appended whole to a file that runs may share.
#ifndef VARBLOC_ANALYSIS_ANALYSIS_FILE_H
#define VARBLOC_ANALYSIS_ANALYSIS_FILE_H

#include <cstdint>
#include <string>

// What became of the analysis file.
enum analysis_file_outcome {
  ANALYSIS_FILE_WRITTEN,  // the line was appended
  ANALYSIS_FILE_SKIPPED,  // a path too long, an unwritable directory or a file
                          // that would not open: *message says which
};

// Appends one line of "%16.10f %16.10f" per column (mean, final error) to the
// analysis file at `path`, whole or not at all. A path that is too long, an
// unwritable directory or a file that will not open are skipped, with the
// text to print in *message; a failed write or close is fatal error 120
// (the file cut back to its length before).
analysis_file_outcome write_analysis_file(int32_t column_count, const double* mean,
                                          const double* final_error, const char* path,
                                          std::string* message);

#endif
