// The JSON record of a run (--json FILE): one line of JSON per run, appended
// whole to the file, with every number at full precision, so that a batch of
// runs can be read back as JSON Lines and each result matched to its input.
#ifndef VARBLOC_JSON_RECORD_H
#define VARBLOC_JSON_RECORD_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "library.h"  // warning_tally, error_place

// The record's "status": how the run ended.
constexpr const char* STATUS_OK = "ok";                              // analysis line appended
constexpr const char* STATUS_NO_ANALYSIS_FILE = "no analysis file";  // analysed, file skipped
constexpr const char* STATUS_EARLY_END = "early end";                // no samples, no columns
constexpr const char* STATUS_ERROR = "error";                        // a fatal error
// Analysed and appended, from a decompressor that failed: maybe not every sample.
constexpr const char* STATUS_DECOMPRESSOR_FAILED = "decompressor failed";

// The record's "stream_end" for a streamed run: what ended its read.
constexpr const char* STREAM_END_INPUT = "end of input";
constexpr const char* STREAM_END_TARGETS = "targets met";  // --follow with its targets
constexpr const char* STREAM_END_SIGNAL = "signal";        // --follow ended by SIGINT or SIGTERM

// One warning code of the run: how often it came and its first message.
using record_warning = warning_tally;

// Everything a record holds. Fields after `place` are written only when the
// flag above them is set, or the result is there; "columns" is always there
// (empty without an analysis), so that a batch of records reads as one table.
struct run_record {
  std::string input;  // as named on the command line ("STDIN" for standard input)
  uint64_t budget;    // storage budget in bytes after every -a
  int32_t skip_columns;
  int32_t discard;  // -i, or the start --discard=auto found
  bool discard_auto = false;
  std::string analysis_file;
  std::optional<int64_t> column_count;  // the positional count, when given
  bool stream = false;                  // --stream or --follow: "streamed" and "stream_end"
  const char* stream_end = nullptr;     // one of the STREAM_END_ texts, once the read ended
  std::string status;                   // one of the STATUS_ texts
  std::optional<int> code;              // the printed error number
  std::optional<std::string> message;   // the printed text without frame or newlines
  error_place place;                    // where a fatal error lies; written for STATUS_ERROR

  bool reading_started = false;  // "Reading file..." was printed
  int64_t samples = 0;
  int64_t discarded = 0;
  std::vector<record_warning> warnings;
  std::optional<int> decompressor_status;  // exit status, or minus the signal; none: no gzip

  // The result of a run that analysed its samples, as the core writes it
  // (result_json): "columns", "levels" and the rest; empty otherwise.
  std::string result;
};

// Whether a decompressor that ended so failed: an error (gzip's 1) or a
// signal; gzip's 2 is a warning (trailing garbage), its output whole.
bool decompressor_failed(std::optional<int> status);

// A run, not ended by a fatal error, whose decompressor failed: warning 65
// among the record's warnings (the reader's own where its input ended, else
// added here for an exit status other than 0 and 2), and the status
// STATUS_DECOMPRESSOR_FAILED in place of STATUS_OK. Where the record adds the
// warning, standard error has the decompressor's own message only.
void note_decompressor_failure(run_record* record);

// The record as one line of JSON ending in '\n'. Keys in a fixed order;
// non-finite numbers become null; a byte sequence in a text that is not
// UTF-8 becomes U+FFFD. May throw (std::bad_alloc).
std::string format_run_record(const run_record& record);

// Appends the record to the file at `path`, whole or not at all (as the
// analysis file); "-" writes it to standard output. False when building or writing it failed;
// `reason` then says why. Never throws.
bool write_run_record(const char* path, const run_record& record, std::string* reason);

#endif
