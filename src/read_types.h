// What a read of a data file is asked to do and what it gives back: the
// reader's own types, which the contract (library.h) hands to the front ends.
#ifndef VARBLOC_READ_TYPES_H
#define VARBLOC_READ_TYPES_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "read_limits.h"     // MAX_COLUMNS
#include "support/report.h"  // byte_source

// Default storage budget in bytes.
constexpr uint64_t DEFAULT_ALLOC_BUDGET = 2000000000u;

// What a read of one data file is asked to do. Front ends start from these
// defaults and change what their caller asks for.
struct read_options {
  const char* input_name = nullptr;              // a file, "STDIN", or a name ending in ".gz"
  uint64_t alloc_budget = DEFAULT_ALLOC_BUDGET;  // bytes for the sample store
  int32_t skip_columns = 0;                      // leading fields ignored on every line
  int32_t discard_count = 0;                     // leading sample lines dropped
  // Columns to use; none lets the first data line decide. A count below 1
  // ends the read with fatal error 2, one past MAX_COLUMNS (skipped columns
  // taken off) with fatal error 3.
  std::optional<int32_t> column_count;
  // An input the caller has open, read instead of opening input_name (which
  // then only names it in messages), as it is: never decompressed. Either a
  // descriptor, read from where it stands and left open, or a byte source.
  int input_descriptor = -1;
  const byte_source* input_bytes = nullptr;
};

struct sample_store;
struct store_release_deleter {
  void operator()(sample_store* store) const;
};

// The samples of one data file as the reader stored them: sample i of
// column c is columns[c][i].
struct sample_set {
  int32_t column_count = 0;  // 0 when the run ended before any was settled
  int32_t samples = 0;
  int32_t discarded = 0;
  bool ended_early = false;  // no analysis follows (status 0); its message was reported
  // A decompressor's end, once the input was read to its end: its exit
  // status, or minus the signal that ended it. None without a decompressor.
  std::optional<int> decompressor_status;
  const double* const* columns = nullptr;
  std::vector<double> column_sums;  // in sample order, as the analysis forms them
  std::unique_ptr<sample_store, store_release_deleter> store;  // owns the columns
};

// How far a read got, known however it ended.
struct read_progress {
  bool reading = false;  // past the column count: "Reading file..." was reported
  int64_t samples = 0;   // samples stored
  int32_t discarded = 0;
  std::optional<int> decompressor_status;  // as in sample_set
};

// The read-count line of a read that stored `samples` and discarded
// `discarded` lines.
std::string read_count_text(int64_t samples, int32_t discarded);

#endif
